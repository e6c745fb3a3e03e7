/*
 * C control API of the simulated adapter, exported by libovelcanfd-sim.so next to the
 * ovel_canfd_* functions, for programs that cannot use the C++ API (Python's ctypes, C tools).
 *
 * When libovelcanfd-sim.so is loaded it plugs in the adapters named by the environment
 * variable OVSIM_ADAPTERS, a comma-separated list of SERIAL[:CHANNELS[:FD]] (FD 1 or 0;
 * defaults 2 channels, FD), or, without the variable, one adapter "OVSIM0001" with two CAN FD
 * channels. OVSIM_TRAFFIC=RATE[:fd] puts generated frames on every channel of the first adapter
 * at RATE frames per second in turn (RATE 0: as fast as possible); the adapter delivers those of
 * its started channels. A value of either variable it cannot use prints a message naming the
 * variable on stderr and plugs in no adapter (OVSIM_ADAPTERS; set and empty: none, silently) or
 * generates nothing (OVSIM_TRAFFIC). The adapter echoes every frame transmitted on a started channel. OVSIM_TIMING=immediate|hs|fs
 * gives those adapters their USB timing (see ovsim_set_link_timing); any other value prints a
 * message naming the variable on stderr and keeps immediate. Adapters added later with
 * ovsim_add_adapter start immediate.
 *
 * OVSIM_BUS=DIRECTORY puts every adapter of the process on an emulated bus shared with the other
 * processes that name the same directory (created if missing): a frame the host transmits on a
 * started channel that is neither listen-only nor in loopback is, besides its echo, delivered to
 * every other adapter, of this process and the others, as a received frame (echo id 0xFFFFFFFF)
 * on the same channel index, where that channel is started with the same nominal bitrate, in FD
 * mode for an FD frame, and with the same data bitrate for one with bit-rate switch. Each
 * process owns a Unix datagram socket "ovsim-PID.sock" in the directory, removed when the library
 * unloads (at exit); a receiving thread feeds the frames heard to the local adapters. Without the
 * variable nothing is created and no thread runs.
 */
#ifndef OVSIM_C_H
#define OVSIM_C_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(OVSIM_BUILD_DLL)
#define OVSIM_API __declspec(dllexport)
#else
#define OVSIM_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define OVSIM_API __attribute__((visibility("default")))
#else
#define OVSIM_API
#endif

/* Removes every adapter; 0, or -1 while a libusb context is alive (close every handle first). */
OVSIM_API int32_t ovsim_reset(void);
/* Plugs in an adapter; returns its index (0, 1, ...). serial NULL: the adapter has none. */
OVSIM_API int32_t ovsim_add_adapter(const char* serial, uint8_t icount, uint32_t features, uint32_t fclk_can);
/* Number of adapters plugged in since the last reset. */
OVSIM_API int32_t ovsim_adapter_count(void);
/* Queues a frame "from the bus" (wire_length -1: 20 bytes, or 76 with the FD flag 0x02). */
OVSIM_API int32_t ovsim_feed_frame(int32_t adapter, uint8_t channel, uint32_t echo_id, uint32_t can_id,
                         uint8_t dlc, uint8_t flags, const uint8_t* data, uint32_t data_length,
                         int32_t wire_length);
/* Bulk OUT transfers the adapter took; copies the bytes of the index-th one into buffer. */
OVSIM_API int32_t ovsim_out_frame_count(int32_t adapter);
OVSIM_API int32_t ovsim_out_frame(int32_t adapter, int32_t index, uint8_t* buffer, int32_t capacity);
/* 0 take, 1 ignore (transmits time out), 2 stall, 3 error. */
OVSIM_API int32_t ovsim_set_out_behaviour(int32_t adapter, int32_t behaviour);
/* Generated traffic: count 0 unlimited, rate_hz 0 as fast as possible, on channels[0..n). */
OVSIM_API int32_t ovsim_start_stream(int32_t adapter, uint64_t count, const uint8_t* channels,
                           uint32_t channel_count, bool fd, double rate_hz);
OVSIM_API int32_t ovsim_stop_stream(int32_t adapter);
/* Frames completed by the current stream (0 for a bad adapter). */
OVSIM_API uint64_t ovsim_streamed(int32_t adapter);
/* IN transfers submitted and waiting for a frame; -1 for a bad adapter. */
OVSIM_API int32_t ovsim_in_transfers_pending(int32_t adapter);
/* When completions reach the host: 0 immediate (as soon as decided), 1 high-speed (bulk
 * completions at the next 125 us microframe boundary, at most 13 packets of 512 bytes per
 * microframe), 2 full-speed (at the next 1 ms frame boundary, at most 19 packets of 64 bytes per
 * frame). Applies to outcomes decided from now on. 0, or -1 for a bad adapter or value. */
OVSIM_API int32_t ovsim_set_link_timing(int32_t adapter, int32_t timing);
OVSIM_API int32_t ovsim_unplug(int32_t adapter);
/* 1: each transmitted frame is echoed only after its time on the bus at the channel's bitrates
 * (frames wait in a 3-frame buffer per channel; a full one NAKs bulk OUT); 0 (default): at
 * once. 0, or -1 for a bad adapter. */
OVSIM_API int32_t ovsim_set_bus_timing(int32_t adapter, int32_t on);
/* 0: no node acknowledges, nothing leaves the transmit buffers and nothing is echoed; 1
 * (default): frames go out. 0, or -1 for a bad adapter. */
OVSIM_API int32_t ovsim_set_acknowledged(int32_t adapter, int32_t on);
/* How many frames each channel's transmit buffer holds (default 3, at least 1). 0, or -1 for a
 * bad adapter. */
OVSIM_API int32_t ovsim_set_tx_buffer_frames(int32_t adapter, uint32_t frames);
/* The most bulk OUT transfers the adapter NAKed at once (its transmit buffer full), since it
 * was added: above 1 only when the host had several frames in flight together. -1 for a bad
 * adapter. */
OVSIM_API int32_t ovsim_out_waiting_high_water(int32_t adapter);
/* Whether the adapter has the channel on the bus (after a MODE start). */
OVSIM_API int32_t ovsim_channel_started(int32_t adapter, uint8_t channel);
/* Scales every USB time-out (0.01: a 1 s time-out lasts 10 ms). */
OVSIM_API void ovsim_set_time_scale(double scale);
/* libusb objects alive: contexts + handles + claimed interfaces + transfers. 0 when all is
 * released. */
OVSIM_API int32_t ovsim_live_objects(void);

#ifdef __cplusplus
}
#endif

#endif /* OVSIM_C_H */
