// Data-phase timing on both firmware numberings, timings for a chosen sample point, and reading
// back what the adapter was given, as the adapter sees them on the wire.
#include "sim_fixture.h"

namespace ovel::test {
namespace {

constexpr std::uint8_t BITTIMING = 1, BT_CONST = 4, DEVICE_CONFIG = 5, DATA_BITTIMING = 8,
                       DATA_BITTIMING_STANDARD = 10, BT_CONST_EXT = 11;

class BitTiming : public SimTest {
  protected:
    ovel_canfd_driver* open_adapter(const ovsim::AdapterSpec& config) {
        adapter_ = &ovsim::add_adapter(config);
        ovel_canfd_driver* h = open_handle();
        opening_ = adapter_->control_requests();
        adapter_->clear_control_requests();
        return h;
    }

    std::vector<std::uint8_t> requests_made() {
        std::vector<std::uint8_t> codes;
        for (const auto& r : adapter_->control_requests()) {
            codes.push_back(r.request);
        }
        return codes;
    }

    static ovsim::AdapterSpec firmware(ovsim::Firmware numbering) {
        ovsim::AdapterSpec config;
        config.firmware = numbering;
        return config;
    }

    ovsim::Adapter* adapter_ = nullptr;
    std::vector<ovsim::ControlRecord> opening_;
};

// 80 MHz / 2 Mbit/s with the fixed search: prescaler 2, phase_seg1 11, phase_seg2 8.
const std::vector<std::uint8_t> TWO_MBIT =
    bytes({0, 0, 0, 0, 11, 0, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0});

TEST_F(BitTiming, StandardFirmwareTakesTheDataTimingAsRequest10FromThenOn) {
    ovel_canfd_driver* h = open_adapter(firmware(ovsim::Firmware::Standard));
    ASSERT_EQ(ovel_canfd_set_data_bitrate(h, 1, 2'000'000), 0) << last_error(h);
    auto r = adapter_->control_requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].request, DATA_BITTIMING);
    EXPECT_EQ(r[1].request, DATA_BITTIMING_STANDARD);
    EXPECT_EQ((std::vector<std::uint8_t>{r[1].setup.begin(), r[1].setup.end()}),
              bytes({0x41, DATA_BITTIMING_STANDARD, 1, 0, 0, 0, 20, 0}));
    EXPECT_EQ(r[0].payload, TWO_MBIT);
    EXPECT_EQ(r[1].payload, TWO_MBIT);

    // Learnt: request 8 is not tried again, for any channel or setter.
    adapter_->clear_control_requests();
    ASSERT_EQ(ovel_canfd_set_data_bitrate(h, 0, 2'000'000), 0);
    ASSERT_EQ(ovel_canfd_set_data_bitrate_sample_point(h, 0, 2'000'000, 800), 0);
    ASSERT_EQ(ovel_canfd_set_bitrate(h, 0, 500'000), 0);
    EXPECT_EQ(requests_made(),
              bytes({DATA_BITTIMING_STANDARD, DATA_BITTIMING_STANDARD, BITTIMING}));

    // A reopened adapter starts from 8 again.
    ASSERT_EQ(ovel_canfd_close(h), 0);
    ASSERT_EQ(ovel_canfd_open(h), 0);
    adapter_->clear_control_requests();
    ASSERT_EQ(ovel_canfd_set_data_bitrate(h, 0, 2'000'000), 0);
    EXPECT_EQ(requests_made(), bytes({DATA_BITTIMING, DATA_BITTIMING_STANDARD}));
}

TEST_F(BitTiming, OriginalFirmwareKeepsRequest8AndItsStallStillFails) {
    ovel_canfd_driver* h = open_adapter(firmware(ovsim::Firmware::Original));
    ASSERT_EQ(ovel_canfd_set_data_bitrate(h, 0, 2'000'000), 0);
    EXPECT_EQ(requests_made(), bytes({DATA_BITTIMING}));

    // 8 stalls and so does 10 (unknown to this firmware): the first failure is reported.
    adapter_->clear_control_requests();
    adapter_->set_control_status(DATA_BITTIMING, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(ovel_canfd_set_data_bitrate(h, 0, 4'000'000), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(last_error(h),
              "failed to set bit timing: DeviceError(Libusb(\"control_out: transfer\", -9))");
    EXPECT_EQ(requests_made(), bytes({DATA_BITTIMING, DATA_BITTIMING_STANDARD}));
    // Only a stall means another numbering: a time-out is reported without a second try.
    adapter_->clear_faults();
    adapter_->clear_control_requests();
    adapter_->set_no_answer(DATA_BITTIMING);
    EXPECT_EQ(ovel_canfd_set_data_bitrate(h, 0, 2'000'000), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(requests_made(), bytes({DATA_BITTIMING}));
    adapter_->clear_faults();
    adapter_->clear_control_requests();
    ASSERT_EQ(ovel_canfd_set_data_bitrate(h, 0, 2'000'000), 0);
    EXPECT_EQ(requests_made(), bytes({DATA_BITTIMING}));

    // The failed setters left the timing that was taken.
    ovel_canfd_bit_timing t{};
    ASSERT_EQ(ovel_canfd_get_bit_timing(h, 0, true, &t), 0);
    EXPECT_EQ(t.brp, 2u);
    EXPECT_EQ(t.bitrate, 2'000'000u);
}

TEST_F(BitTiming, SamplePointSettersWorkWithinTheAdapterLimits) {
    // An M_CAN-like adapter at 80 MHz with BT_CONST_EXT.
    ovsim::AdapterSpec config;
    config.features = 0x103 | ovsim::FEATURE_BT_CONST_EXT;
    config.bt_limits = {2, 256, 2, 128, 128, 1, 512, 1};
    config.data_bt_limits = std::array<std::uint32_t, 8>{1, 32, 1, 16, 16, 1, 32, 1};
    ovel_canfd_driver* h = open_adapter(config);
    ASSERT_EQ(opening_.size(), 3u);
    EXPECT_EQ(opening_[0].request, DEVICE_CONFIG);
    EXPECT_EQ(opening_[1].request, BT_CONST);
    EXPECT_EQ((std::vector<std::uint8_t>{opening_[2].setup.begin(), opening_[2].setup.end()}),
              bytes({0xC1, BT_CONST_EXT, 0, 0, 0, 0, 72, 0}));

    ASSERT_EQ(ovel_canfd_set_bitrate_sample_point(h, 0, 500'000, 875), 0) << last_error(h);
    // Data phase with the CiA default (750 above 800 kbit/s) in the data limits.
    ASSERT_EQ(ovel_canfd_set_data_bitrate_sample_point(h, 0, 2'000'000, 0), 0) << last_error(h);
    auto r = adapter_->control_requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].request, BITTIMING);
    // 160 quanta: prop_seg 69, phase_seg1 70, phase_seg2 20, sjw 20, brp 1.
    EXPECT_EQ(r[0].payload,
              bytes({69, 0, 0, 0, 70, 0, 0, 0, 20, 0, 0, 0, 20, 0, 0, 0, 1, 0, 0, 0}));
    EXPECT_EQ(r[1].request, DATA_BITTIMING);
    // 40 quanta: prop_seg 14, phase_seg1 15, phase_seg2 10, sjw 10, brp 1.
    EXPECT_EQ(r[1].payload,
              bytes({14, 0, 0, 0, 15, 0, 0, 0, 10, 0, 0, 0, 10, 0, 0, 0, 1, 0, 0, 0}));

    ovel_canfd_bit_timing t{};
    ASSERT_EQ(ovel_canfd_get_bit_timing(h, 0, false, &t), 0);
    EXPECT_EQ(t.brp, 1u);
    EXPECT_EQ(t.prop_seg, 69u);
    EXPECT_EQ(t.phase_seg1, 70u);
    EXPECT_EQ(t.phase_seg2, 20u);
    EXPECT_EQ(t.sjw, 20u);
    EXPECT_EQ(t.bitrate, 500'000u);
    EXPECT_EQ(t.sample_point_permille, 875u);
    ASSERT_EQ(ovel_canfd_get_bit_timing(h, 0, true, &t), 0);
    EXPECT_EQ(t.sample_point_permille, 750u);
    // The fixed search is reported too: 80 MHz / 1 Mbit/s, 20 quanta, sample point 60 %.
    ASSERT_EQ(ovel_canfd_set_bitrate(h, 0, 1'000'000), 0);
    ASSERT_EQ(ovel_canfd_get_bit_timing(h, 0, false, &t), 0);
    EXPECT_EQ(t.brp, 4u);
    EXPECT_EQ(t.prop_seg, 0u);
    EXPECT_EQ(t.sample_point_permille, 600u);
    EXPECT_EQ(t.bitrate, 1'000'000u);
}

TEST_F(BitTiming, AdapterWithoutBtConstExtUsesItsNominalLimitsForTheDataPhase) {
    // BT_CONST_EXT announced but stalled: the adapter still opens, with the nominal limits.
    ovsim::AdapterSpec config;
    config.features = 0x103 | ovsim::FEATURE_BT_CONST_EXT;
    adapter_ = &ovsim::add_adapter(config);
    adapter_->set_control_status(BT_CONST_EXT, LIBUSB_TRANSFER_STALL);
    ovel_canfd_driver* h = open_handle();
    adapter_->clear_control_requests();
    // bxCAN-like limits (tseg1 <= 16, tseg2 <= 8): 2 Mbit/s at 80 % takes 20 quanta at brp 2.
    ASSERT_EQ(ovel_canfd_set_data_bitrate_sample_point(h, 1, 2'000'000, 800), 0) << last_error(h);
    ovel_canfd_bit_timing t{};
    ASSERT_EQ(ovel_canfd_get_bit_timing(h, 1, true, &t), 0);
    EXPECT_EQ(t.brp, 2u);
    EXPECT_EQ(t.prop_seg + t.phase_seg1, 15u);
    EXPECT_EQ(t.phase_seg2, 4u);
    EXPECT_EQ(t.sample_point_permille, 800u);
}

TEST_F(BitTiming, SamplePointSettersCheckAsTheBitrateSettersDo) {
    ovsim::AdapterSpec config;
    config.features = 0x3;  // no CAN FD
    ovel_canfd_driver* h = open_adapter(config);
    ovel_canfd_bit_timing t{};
    t.brp = 99;
    ASSERT_EQ(ovel_canfd_get_bit_timing(h, 1, false, &t), 0) << "nothing sent yet";
    EXPECT_EQ(t.brp, 0u);
    EXPECT_EQ(t.bitrate, 0u);
    EXPECT_EQ(t.sample_point_permille, 0u);

    EXPECT_EQ(ovel_canfd_set_data_bitrate_sample_point(h, 9, 2'000'000, 800),
              OVEL_CANFD_ERR_UNSUPPORTED_FEATURE);
    EXPECT_EQ(last_error(h), "failed to set bitrate: UnsupportedFeature(\"FD\")");
    EXPECT_EQ(ovel_canfd_set_bitrate_sample_point(h, 2, 500'000, 875),
              OVEL_CANFD_ERR_INVALID_CHANNEL);
    EXPECT_EQ(ovel_canfd_set_bitrate_sample_point(h, 0, 500'000, 1000),
              OVEL_CANFD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(last_error(h), "failed to set bitrate: InvalidArgument(\"sample_point_permille\")");
    EXPECT_EQ(ovel_canfd_set_bitrate_sample_point(h, 0, 3'000'000, 875),
              OVEL_CANFD_ERR_INVALID_BITRATE);
    EXPECT_EQ(last_error(h), "failed to set bitrate: InvalidBitrate(3000000)");
    EXPECT_TRUE(adapter_->control_requests().empty());

    adapter_->set_control_status(BITTIMING, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(ovel_canfd_set_bitrate_sample_point(h, 0, 500'000, 875), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(last_error(h),
              "failed to set bit timing: DeviceError(Libusb(\"control_out: transfer\", -9))");
    ASSERT_EQ(ovel_canfd_get_bit_timing(h, 0, false, &t), 0);
    EXPECT_EQ(t.bitrate, 0u) << "a timing the adapter refused is not reported as sent";

    EXPECT_EQ(ovel_canfd_get_bit_timing(h, 0, false, nullptr), OVEL_CANFD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(last_error(h), "failed to get bit timing: InvalidArgument(\"out\")");
    EXPECT_EQ(ovel_canfd_get_bit_timing(h, 2, false, &t), OVEL_CANFD_ERR_INVALID_CHANNEL);
}

TEST_F(BitTiming, ExplicitTimingGoesOutAsGivenWithinEachPhaseLimits) {
    ovsim::AdapterSpec config;
    config.features = 0x103 | ovsim::FEATURE_BT_CONST_EXT;
    config.bt_limits = {2, 256, 2, 128, 128, 1, 512, 2};
    config.data_bt_limits = std::array<std::uint32_t, 8>{1, 32, 1, 16, 16, 1, 32, 1};
    ovel_canfd_driver* h = open_adapter(config);

    // 80 MHz / (2 * 80 quanta) = 500 kbit/s at 80 %; 80 MHz / (1 * 40) = 2 Mbit/s at 75 %.
    ovel_canfd_bit_timing nominal{.brp = 2, .prop_seg = 31, .phase_seg1 = 32, .phase_seg2 = 16,
                                  .sjw = 16, .bitrate = 123, .sample_point_permille = 1};
    ASSERT_EQ(ovel_canfd_set_bit_timing(h, 0, false, &nominal), 0) << last_error(h);
    ovel_canfd_bit_timing data{.brp = 1, .prop_seg = 0, .phase_seg1 = 29, .phase_seg2 = 10,
                               .sjw = 10, .bitrate = 0, .sample_point_permille = 0};
    ASSERT_EQ(ovel_canfd_set_bit_timing(h, 0, true, &data), 0) << last_error(h);
    auto r = adapter_->control_requests();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].request, BITTIMING);
    EXPECT_EQ(r[0].payload,
              bytes({31, 0, 0, 0, 32, 0, 0, 0, 16, 0, 0, 0, 16, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_EQ(r[1].request, DATA_BITTIMING);
    EXPECT_EQ(r[1].payload,
              bytes({0, 0, 0, 0, 29, 0, 0, 0, 10, 0, 0, 0, 10, 0, 0, 0, 1, 0, 0, 0}));
    ovel_canfd_bit_timing t{};
    ASSERT_EQ(ovel_canfd_get_bit_timing(h, 0, false, &t), 0);
    EXPECT_EQ(t.bitrate, 500'000u);
    EXPECT_EQ(t.sample_point_permille, 800u);
    ASSERT_EQ(ovel_canfd_get_bit_timing(h, 0, true, &t), 0);
    EXPECT_EQ(t.bitrate, 2'000'000u);
    EXPECT_EQ(t.sample_point_permille, 750u);

    // Each limit of the phase's own table, in the documented order; nothing is sent.
    adapter_->clear_control_requests();
    const auto refused = [&](bool data_phase, ovel_canfd_bit_timing timing) {
        EXPECT_EQ(ovel_canfd_set_bit_timing(h, 0, data_phase, &timing),
                  OVEL_CANFD_ERR_INVALID_ARGUMENT);
        return last_error(h);
    };
    auto odd_brp = nominal;
    odd_brp.brp = 3;  // not a multiple of brp_inc 2
    EXPECT_EQ(refused(false, odd_brp), "failed to set bit timing: InvalidArgument(\"brp\")");
    auto short_tseg1 = nominal;
    short_tseg1.prop_seg = 0;
    short_tseg1.phase_seg1 = 1;  // tseg1 1 < tseg1_min 2
    short_tseg1.sjw = 1;
    EXPECT_EQ(refused(false, short_tseg1),
              "failed to set bit timing: InvalidArgument(\"tseg1\")");
    auto long_tseg2 = data;
    long_tseg2.phase_seg2 = 17;  // data tseg2_max 16, though the nominal allows 128
    EXPECT_EQ(refused(true, long_tseg2),
              "failed to set bit timing: InvalidArgument(\"phase_seg2\")");
    auto wide_sjw = data;
    wide_sjw.sjw = 11;  // longer than phase_seg2
    EXPECT_EQ(refused(true, wide_sjw), "failed to set bit timing: InvalidArgument(\"sjw\")");
    auto huge = nominal;
    huge.prop_seg = 0xFFFFFFFF;  // must not wrap into range with phase_seg1
    EXPECT_EQ(refused(false, huge), "failed to set bit timing: InvalidArgument(\"tseg1\")");
    EXPECT_EQ(ovel_canfd_set_bit_timing(h, 0, false, nullptr), OVEL_CANFD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(last_error(h), "failed to set bit timing: InvalidArgument(\"timing\")");
    EXPECT_EQ(ovel_canfd_set_bit_timing(h, 2, false, &nominal), OVEL_CANFD_ERR_INVALID_CHANNEL);
    EXPECT_TRUE(adapter_->control_requests().empty());
    ASSERT_EQ(ovel_canfd_get_bit_timing(h, 0, false, &t), 0);
    EXPECT_EQ(t.brp, 2u) << "a refused timing leaves the last one";

    adapter_->set_control_status(BITTIMING, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(ovel_canfd_set_bit_timing(h, 0, false, &nominal), OVEL_CANFD_ERR_DEVICE);
    EXPECT_EQ(last_error(h),
              "failed to set bit timing: DeviceError(Libusb(\"control_out: transfer\", -9))");
}

TEST_F(BitTiming, ExplicitDataTimingNeedsCanFdFirst) {
    ovsim::AdapterSpec config;
    config.features = 0x3;  // no CAN FD
    ovel_canfd_driver* h = open_adapter(config);
    const ovel_canfd_bit_timing data{.brp = 1, .prop_seg = 0, .phase_seg1 = 29, .phase_seg2 = 10,
                                     .sjw = 10, .bitrate = 0, .sample_point_permille = 0};
    EXPECT_EQ(ovel_canfd_set_bit_timing(h, 9, true, &data), OVEL_CANFD_ERR_UNSUPPORTED_FEATURE);
    EXPECT_EQ(last_error(h), "failed to set bit timing: UnsupportedFeature(\"FD\")");
}

}  // namespace
}  // namespace ovel::test
