/*
 * ovelcanfd: user-mode driver for gs_usb CAN and CAN FD adapters.
 *
 * This header is the library's manual. Link with -lovelcanfd; the library reaches the
 * adapter through libusb-1.0 and needs no kernel driver of its own.
 *
 * Usage, in this order:
 *   ovel_canfd_init                      create a handle
 *   ovel_canfd_open / _with_device_serial_number
 *   ovel_canfd_set_*                     per-channel bitrates and modes
 *   ovel_canfd_set_rx_callback(_ex)      receive every frame through one callback
 *   ovel_canfd_start                     per channel to be used
 *   ovel_canfd_transmit                  while channels are started
 *   ovel_canfd_stop                      per channel
 *   ovel_canfd_close
 *   ovel_canfd_deinit                    free the handle
 * Only the first and last are fixed; every other function may be called in any state
 * and answers as documented below.
 *
 * Return codes: every function except ovel_canfd_init and ovel_canfd_get_last_error
 * returns a signed 32-bit integer: OVEL_CANFD_OK (0) on success, OVEL_CANFD_NO_DEVICE (-1)
 * when the handle holds no open adapter (for the open functions: when no adapter could be
 * opened), or one of the negative OVEL_CANFD_ERR_* codes when the operation failed.
 * The "no open device" test comes before every other test.
 *
 * Failure texts: after a call that did not return OVEL_CANFD_OK, ovel_canfd_get_last_error
 * called on the same thread returns a text made of the function's own text, ": " and the
 * error's description, e.g.
 *   "failed to start device: InvalidChannel"
 *   "failed to set bitrate: InvalidBitrate(3000000)"
 *   "failed to open device: DeviceError(Libusb(\"control_in: libusb_submit_transfer\", -4))"
 *   "could not initialize libusb context"
 * The library writes no log.
 *
 * Threads: every function may be called on one handle from several threads at once, and
 * from inside the receive callback. Different handles are independent. On one handle:
 *   - the configuration calls (open, close, the setters, start, stop, get_channel_count) run
 *     one at a time: a second one waits until the first has returned;
 *   - transmits run one at a time among themselves, and alongside a configuration call; a
 *     transmit racing the stop of the last channel either completes or returns NOT_RUNNING;
 *   - ovel_canfd_get_last_error reports the calling thread's own last call on the handle.
 * No lock of the library is held while a callback runs or while a call waits for the
 * dispatch thread to end, so a callback that transmits, configures, stops or closes never
 * deadlocks against a call on another thread. The application's duties: not to use a handle
 * once ovel_canfd_deinit on it has returned (or, from inside the callback, once the callback
 * that called it has returned), and not to call ovel_canfd_deinit while another thread is
 * still calling on the handle.
 * Each open adapter has a USB event thread of its own ("ovel-usb-events"), started at opening,
 * and, while channels are started, a receive dispatch thread ("ovel-dispatch") that calls the
 * receive callback. ovel_canfd_stop (of the last started channel), ovel_canfd_close and
 * ovel_canfd_deinit end these threads before they return, after the frames still queued have
 * been delivered (close, deinit), so no callback runs after they return -- unless they are
 * called from inside the callback itself: then the call returns at once, no further callback
 * runs once the calling one has returned (close and deinit drop the frames still queued; stop
 * keeps them for the next start), and deinit frees the handle only after that callback has
 * returned.
 * CPU: both threads block while the bus is quiet (no CPU used) and also between frames of a
 * busy bus: each frame, or each batch of frames that an adapter completes in one USB frame
 * (1 ms at full speed, 125 us at high speed), costs one wake-up of each thread. They poll
 * instead only while polling pays: the event thread while every look at libusb finds a batch
 * of completions, or for 50 us after a transmit made as soon as the previous one returned (a
 * sending loop); the dispatch thread for at most 5 us while the event thread polls or frames
 * come less than 2 us apart. Transmits and control requests wait for their transfer by
 * polling for 5 us, then sleeping until it completes. Measured on a 2-core virtual machine
 * with the simulated adapter (docs/performance.md), as % of one core for the whole process:
 * 0 on a silent bus; 2.2 % at 500 frames/s, 16 % at 5,000, 29 % at 20,000 with completions as
 * fast as the simulator makes them; 24 % at 20,000 frames/s on a high-speed link; 4 % at
 * 5,000 frames/s on a full-speed link.
 *
 * Values: channel indexes are zero-based, unsigned 8-bit; on/off values are C bools in
 * which any nonzero byte means true; bitrates are in bit/s.
 */
#ifndef OVELCANFD_H
#define OVELCANFD_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define OVEL_CANFD_API __attribute__((visibility("default")))
#else
#define OVEL_CANFD_API
#endif

/* Return codes. */
enum {
    OVEL_CANFD_OK = 0,
    /* The handle holds no open adapter (open functions: none could be opened). */
    OVEL_CANFD_NO_DEVICE = -1,
    /* A USB transfer failed or the adapter refused a request (DeviceError). */
    OVEL_CANFD_ERR_DEVICE = -2,
    /* No matching adapter (DeviceNotFound). */
    OVEL_CANFD_ERR_DEVICE_NOT_FOUND = -3,
    /* A wait ran out of time (Timeout). */
    OVEL_CANFD_ERR_TIMEOUT = -4,
    /* A channel setting was changed while that channel is started (Running). */
    OVEL_CANFD_ERR_RUNNING = -5,
    /* A frame was to be sent while no channel is started (NotRunning). */
    OVEL_CANFD_ERR_NOT_RUNNING = -6,
    /* The channel index is beyond the adapter's last channel (InvalidChannel). */
    OVEL_CANFD_ERR_INVALID_CHANNEL = -7,
    /* No bit timing exists for the requested bitrate (InvalidBitrate). */
    OVEL_CANFD_ERR_INVALID_BITRATE = -8,
    /* The adapter lacks listen-only, loopback or CAN FD (UnsupportedFeature). */
    OVEL_CANFD_ERR_UNSUPPORTED_FEATURE = -9,
    /* A frame record that cannot be sent as it is (InvalidFrame). */
    OVEL_CANFD_ERR_INVALID_FRAME = -10,
    /* An argument outside its documented range (InvalidArgument). */
    OVEL_CANFD_ERR_INVALID_ARGUMENT = -11
};

/*
 * One CAN or CAN FD frame, 80 bytes, alignment 4, in the host's byte order.
 * The DLC is the CAN data length code (0 to 15), carried unchanged in both directions and
 * never converted to a byte count: for CAN FD, codes 9 to 15 stand for 12, 16, 20, 24, 32,
 * 48 and 64 data bytes. All 64 data bytes always travel; only those the DLC covers mean
 * anything. In a received record every bool is exactly 0 or 1, the data bytes past those the
 * adapter sent are 0, the channel is one the adapter has and the DLC is 0 to 15 (frames the
 * adapter sends otherwise are dropped), and the three bytes after `channel` are undefined; on
 * transmit any nonzero bool byte means true.
 */
typedef struct ovel_canfd_frame {
    uint8_t channel;  /* offset 0: zero-based channel index */
                      /* offsets 1-3: alignment gap, not read, not written */
    uint32_t id;      /* offset 4: 11-bit standard or 29-bit extended identifier, no flag bits */
    uint8_t dlc;      /* offset 8: data length code 0 to 15 */
    uint8_t data[64]; /* offset 9 */
    bool extended;    /* offset 73: 29-bit identifier */
    bool fd;          /* offset 74: CAN FD frame */
    bool brs;         /* offset 75: bit-rate switch */
    bool esi;         /* offset 76: error state indicator */
    bool echo;        /* offset 77: receive only: the adapter's echo of a frame this library sent */
    bool rtr;         /* offset 78: remote transmission request */
    bool err;         /* offset 79: error frame */
} ovel_canfd_frame;

/*
 * Receive callback: called once per received frame, echoes of transmitted frames included,
 * on the library's receive dispatch thread, one call at a time (also across a stop and start
 * made from inside it), in the order the adapter delivered the frames (across all channels).
 * The record belongs to the library and is valid only until the callback returns; copy what
 * you need. No lock of the library is held while it runs: it may call any function on the
 * handle (see "Threads" above).
 */
typedef void (*ovel_canfd_rx_callback)(const ovel_canfd_frame* frame);

/* The same with the application's own pointer, as given to ovel_canfd_set_rx_callback_ex. */
typedef void (*ovel_canfd_rx_callback_ex)(const ovel_canfd_frame* frame, void* user);

/* Opaque handle: one per adapter the application wants to use. */
typedef struct ovel_canfd_driver ovel_canfd_driver;

/*
 * Creates a handle with no adapter open and no receive callback.
 * Returns NULL when memory is exhausted. Free it with ovel_canfd_deinit.
 */
OVEL_CANFD_API ovel_canfd_driver* ovel_canfd_init(void);

/*
 * Closes the handle's adapter, if one is open (as ovel_canfd_close), and frees the handle,
 * which must not be used afterwards. Always returns 0 (also for a NULL handle).
 */
OVEL_CANFD_API int32_t ovel_canfd_deinit(ovel_canfd_driver* handle);

/*
 * Opens the first adapter (USB 1D50:606F) in the USB device list: detaches a kernel
 * driver from interface 0, claims it, starts the adapter's USB event thread and reads the
 * adapter's configuration (channel count, CAN clock, features). No request that changes
 * the adapter is sent.
 * On success, an adapter the handle already had is closed first and replaced; all channel
 * settings start from their defaults (bitrates unset, enabled, no FD, loopback or monitor).
 * The receive callback stays registered.
 * Returns 0, or -1 when no adapter could be opened; the handle then keeps the adapter it
 * had, and ovel_canfd_get_last_error tells why ("failed to open device: DeviceNotFound",
 * "could not initialize libusb context", ...). -1 for a NULL handle.
 */
OVEL_CANFD_API int32_t ovel_canfd_open(ovel_canfd_driver* handle);

/*
 * As ovel_canfd_open, but opens the first adapter whose USB serial number text equals
 * `serial` exactly (case-sensitive; an empty text matches an adapter with no readable
 * serial number). The library copies the text; the caller's buffer is not kept.
 * Returns 0, or -1 when nothing was opened, also for a NULL `serial` or one that is not
 * valid UTF-8 (failure text "failed to open device with serial number: ...").
 */
OVEL_CANFD_API int32_t ovel_canfd_open_with_device_serial_number(ovel_canfd_driver* handle,
                                                                 const char* serial);

/*
 * Closes the handle's adapter, if any: cancels its receive transfers, releases and closes
 * the USB device and ends the adapter's threads before returning. Nothing is sent to the
 * adapter: channels still started stay on the bus (stop them first to take them off).
 * The receive callback stays registered. Always returns 0 (also with no adapter open).
 */
OVEL_CANFD_API int32_t ovel_canfd_close(ovel_canfd_driver* handle);

/* Number of channels of the open adapter (1 to 256), or -1 with no open adapter. */
OVEL_CANFD_API int32_t ovel_canfd_get_channel_count(ovel_canfd_driver* handle);

/*
 * The failure text of the handle's most recent call, or "" when that call succeeded.
 * The text stays valid until the next call on the handle. For a NULL handle: "null handle".
 */
OVEL_CANFD_API const char* ovel_canfd_get_last_error(ovel_canfd_driver* handle);

/*
 * Channel configuration. Each returns 0, -1 with no open adapter, or a failure code.
 * The checks run in a fixed order: feature, then channel, then bitrate or running state;
 * a setter that fails has changed nothing.
 *
 * ovel_canfd_set_bitrate: computes the nominal-phase bit timing for the adapter's CAN clock
 *   and sends it at once (also to a started channel). Failure text "failed to set bitrate",
 *   except when the adapter did not take the timing: "failed to set bit timing".
 *   Errors: INVALID_CHANNEL, INVALID_BITRATE (no timing with at most 0.5 % deviation and
 *   4 to 24 time quanta per bit), DEVICE (the adapter did not take the request).
 * ovel_canfd_set_data_bitrate: the same for the CAN FD data phase; UNSUPPORTED_FEATURE
 *   ("FD") first when the adapter has no CAN FD. Failure texts as ovel_canfd_set_bitrate.
 * ovel_canfd_set_enabled: whether start/stop put the channel on and off the bus (a
 *   disabled channel is started without a request to the adapter). Channels are enabled
 *   by default. Errors: INVALID_CHANNEL, RUNNING. Failure text "failed to enable channel".
 * ovel_canfd_set_fd: CAN FD mode. Errors: UNSUPPORTED_FEATURE ("FD"), INVALID_CHANNEL,
 *   RUNNING. Failure text "failed to set fd mode".
 * ovel_canfd_set_hw_loopback: the adapter's hardware loopback. Errors: UNSUPPORTED_FEATURE
 *   ("Loopback"), INVALID_CHANNEL, RUNNING. Failure text "failed to set hardware loopback mode".
 * ovel_canfd_set_monitor: listen-only. Errors: UNSUPPORTED_FEATURE ("Monitor"),
 *   INVALID_CHANNEL, RUNNING. Failure text "failed to set monitoring mode".
 * RUNNING: the channel is started; stop it first. The four mode settings take effect at
 * the channel's next ovel_canfd_start.
 */
OVEL_CANFD_API int32_t ovel_canfd_set_bitrate(ovel_canfd_driver* handle, uint8_t channel,
                                              uint32_t bitrate);
OVEL_CANFD_API int32_t ovel_canfd_set_data_bitrate(ovel_canfd_driver* handle, uint8_t channel,
                                                   uint32_t bitrate);
OVEL_CANFD_API int32_t ovel_canfd_set_enabled(ovel_canfd_driver* handle, uint8_t channel,
                                              bool enabled);
OVEL_CANFD_API int32_t ovel_canfd_set_fd(ovel_canfd_driver* handle, uint8_t channel, bool fd);
OVEL_CANFD_API int32_t ovel_canfd_set_hw_loopback(ovel_canfd_driver* handle, uint8_t channel,
                                                  bool loopback);
OVEL_CANFD_API int32_t ovel_canfd_set_monitor(ovel_canfd_driver* handle, uint8_t channel,
                                              bool monitor);

/*
 * Puts the channel on the bus with its current settings (if it is enabled) and, when it
 * is the first started channel, starts reception. Starting a started channel again sends
 * the mode request again. Errors: INVALID_CHANNEL, UNSUPPORTED_FEATURE, DEVICE.
 * Failure text "failed to start device".
 */
OVEL_CANFD_API int32_t ovel_canfd_start(ovel_canfd_driver* handle, uint8_t channel);

/*
 * Takes the channel off the bus (if it is enabled); when no channel is left started,
 * reception stops and the dispatch thread ends before the call returns. Frames received but
 * not yet delivered then stay queued and are delivered after the next start, ahead of newer
 * ones. Errors: INVALID_CHANNEL, DEVICE: if the adapter refused to take the channel off the
 * bus, the channel stays started; if only the receive transfers could not be cancelled, the
 * channel is stopped and reception has ended all the same (the transfers come back by their
 * time-out; a start within those 5 s may fail with DEVICE and can be retried).
 * Failure text "failed to stop device".
 */
OVEL_CANFD_API int32_t ovel_canfd_stop(ovel_canfd_driver* handle, uint8_t channel);

/*
 * Registers the receive callback (NULL: received frames are taken and dropped). Works with or
 * without an open adapter and always returns 0. The callback is handed to the receive dispatch
 * thread when reception starts, i.e. at the first ovel_canfd_start while no channel is started:
 * a callback registered while channels are started takes effect only after every channel has
 * been stopped and one started again. Closing or reopening keeps the registration.
 */
OVEL_CANFD_API int32_t ovel_canfd_set_rx_callback(ovel_canfd_driver* handle,
                                                  ovel_canfd_rx_callback callback);

/*
 * Registers a receive callback that is called with `user` as its second argument (NULL
 * callback: received frames are taken and dropped). Unlike ovel_canfd_set_rx_callback it takes
 * effect for the next frame delivered after it returns, also while channels are started: once
 * it has returned, the callback it replaced is not called again (it waits for a call of that
 * callback in progress on the dispatch thread, unless it is called from inside that call).
 * Registering with either function replaces the other's registration. Works with or without an
 * open adapter. Returns 0; -1 for a NULL handle; DEVICE when memory is exhausted (failure text
 * "failed to set receive callback: out of memory").
 */
OVEL_CANFD_API int32_t ovel_canfd_set_rx_callback_ex(ovel_canfd_driver* handle,
                                                     ovel_canfd_rx_callback_ex callback,
                                                     void* user);

/*
 * Sends one frame and waits until the adapter has taken it (at most about 1 s). The record is
 * read during the call only; `echo` is ignored. The frame goes out on the record's channel,
 * which need not be started itself, with echo identifier 1; the adapter's echo comes back
 * through the receive callback with `echo` set.
 * Errors: NOT_RUNNING (no channel started; nothing is sent), INVALID_CHANNEL (beyond the last
 * channel), INVALID_FRAME (NULL record "frame", identifier of 2^29 or more, or of 2^11 or
 * more without `extended`: "id"; DLC above 15 "dlc"), TIMEOUT (the adapter did not take the frame within 1 s), DEVICE (the transfer was
 * refused or failed). Failure text "failed to transmit frame".
 */
OVEL_CANFD_API int32_t ovel_canfd_transmit(ovel_canfd_driver* handle,
                                           const ovel_canfd_frame* frame);

/*
 * Bit timing with a chosen sample point.
 *
 * ovel_canfd_set_bitrate and ovel_canfd_set_data_bitrate keep their fixed search, whose
 * sample point is (n - 8) / n of the bit (60 % for 20 time quanta). Mixed networks need the
 * sample point to match the other nodes': these two functions compute the timing within the
 * adapter's own limits (read from the adapter at opening: BT_CONST, and for the data phase
 * BT_CONST_EXT when the adapter has it, otherwise the nominal limits) with the sample point
 * closest to `sample_point_permille` (875 = 87.5 %). The bitrate is matched as by
 * ovel_canfd_set_bitrate: exactly if possible, else within 0.1 %, else within 0.5 %; among
 * those the closest sample point wins, then the smaller bitrate error, then the earlier sample
 * point, then the smaller prescaler. sjw is as large as the adapter's limit and both phase
 * segments allow; tseg1 is sent as prop_seg = tseg1 / 2 and phase_seg1 = the rest, as the
 * Linux kernel does.
 * sample_point_permille 0 picks the CiA 601-3 / SocketCAN default for the bitrate: 875 up to
 * 500 kbit/s, 800 up to 800 kbit/s, 750 above. 1 to 999 are taken as given.
 * Otherwise they behave as ovel_canfd_set_bitrate and ovel_canfd_set_data_bitrate: the timing
 * goes to the adapter at once, also to a started channel; same checks in the same order (for
 * the data phase UNSUPPORTED_FEATURE ("FD") first; then INVALID_CHANNEL; then the sample point:
 * INVALID_ARGUMENT, "InvalidArgument(\"sample_point_permille\")" for 1000 or more; then
 * INVALID_BITRATE when no timing exists); same failure texts ("failed to set bitrate", and
 * "failed to set bit timing" with DEVICE when the adapter did not take the request). A setter
 * that fails has changed nothing. Configuration calls: see "Threads".
 */
OVEL_CANFD_API int32_t ovel_canfd_set_bitrate_sample_point(ovel_canfd_driver* handle,
                                                           uint8_t channel, uint32_t bitrate,
                                                           uint32_t sample_point_permille);
OVEL_CANFD_API int32_t ovel_canfd_set_data_bitrate_sample_point(ovel_canfd_driver* handle,
                                                                uint8_t channel, uint32_t bitrate,
                                                                uint32_t sample_point_permille);

/* A bit timing as it was sent to the adapter, and what it gives on the bus. */
typedef struct ovel_canfd_bit_timing {
    uint32_t brp;                   /* prescaler: clock periods per time quantum */
    uint32_t prop_seg;              /* time quanta, as sent */
    uint32_t phase_seg1;            /* time quanta, as sent */
    uint32_t phase_seg2;            /* time quanta, as sent */
    uint32_t sjw;                   /* time quanta, as sent */
    uint32_t bitrate;               /* the adapter's clock / (brp * quanta per bit), rounded */
    uint32_t sample_point_permille; /* (1 + prop_seg + phase_seg1) / quanta per bit, rounded */
} ovel_canfd_bit_timing;

/*
 * Writes to *out the timing last sent to the adapter for the channel's nominal phase
 * (data_phase false) or data phase (data_phase true), by any of the four bitrate setters,
 * since the adapter was opened. Before any was sent for that phase, every field of *out is 0;
 * a setter that failed leaves the previous timing as it was. Sends nothing to the adapter.
 * Returns 0, -1 with no open adapter, INVALID_CHANNEL, or INVALID_ARGUMENT for a NULL `out`
 * ("InvalidArgument(\"out\")"). Failure text "failed to get bit timing". A configuration call
 * (see "Threads"); *out is written only when it returns 0.
 */
OVEL_CANFD_API int32_t ovel_canfd_get_bit_timing(ovel_canfd_driver* handle, uint8_t channel,
                                                 bool data_phase, ovel_canfd_bit_timing* out);

/*
 * Firmware numbering. The data-phase timing goes out as gs_usb request 8. Firmware that numbers
 * its requests as the Linux kernel's gs_usb driver does (where 8 is GET_USER_ID) stalls it: the
 * same timing is then sent as request 10, and if the adapter takes it, the call succeeds and
 * the adapter gets its data-phase timings as request 10 until it is closed. If 10 fails too,
 * the failure of 8 is reported, as before.
 *
 * Failing USB event handling. Should libusb's event handling fail 8 times in a row (an
 * interrupted wait does not count), the adapter's event thread ends, as for an adapter that is
 * gone: a transmit or configuration call waiting for its transfer returns DEVICE at once, and
 * so does every later one that needs the adapter, with the text "...: DeviceError(Libusb(
 * \"send: event handling\", CODE))" (or "control_out: event handling", "control_in: ...")
 * carrying libusb's error code. Close the adapter (it still releases everything) and open it
 * again.
 */

#ifdef __cplusplus
}
#endif

#endif /* OVELCANFD_H */
