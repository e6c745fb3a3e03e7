/*
 * ovelcanfd: user-mode driver for gs_usb CAN and CAN FD adapters.
 *
 * This header is the library's manual. Link with -lovelcanfd; the library reaches the
 * adapter through libusb-1.0 and needs no kernel driver of its own.
 *
 * Usage, in this order:
 *   ovel_canfd_init                      create a handle
 *   ovel_canfd_open / _with_device_serial_number / _with_device_path
 *   ovel_canfd_set_*                     per-channel bitrates and modes
 *   ovel_canfd_set_rx_callback(_ex)      receive every frame through one callback
 *   ovel_canfd_start                     per channel to be used
 *   ovel_canfd_transmit                  while channels are started
 *   ovel_canfd_send / _flush             the same at the bus's pace (queued sends)
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
 * receive callback; each start of reception (an ovel_canfd_start while no channel is started)
 * starts a new one.
 * Callbacks: at any time at most one callback of a handle runs, however stops, starts, closes
 * and opens are nested in it: a new dispatch thread delivers only once the earlier ones of the
 * handle have returned from their last callback. Once ovel_canfd_stop (of the last started
 * channel), an ovel_canfd_start that failed while no channel was started, ovel_canfd_close, an
 * open that replaced the adapter, or ovel_canfd_deinit has returned, no callback of the handle
 * is running and none is called until reception is started again, whichever thread made the
 * call: they wait for the dispatch threads to end, also for one whose adapter was closed from
 * inside its callback (stop and close then wait for that callback even with no adapter open).
 * Close, a replacing open and deinit let the frames still queued be delivered first; stop keeps
 * them for the next start. Called from inside the callback itself, these calls do not wait for
 * it: no further callback runs once the calling one has returned (close and deinit drop the
 * frames still queued), and deinit frees the handle only after that callback has returned.
 * Likewise, once ovel_canfd_set_rx_callback_ex or ovel_canfd_set_rx_handler has returned, the
 * callback it replaced is not running and is not called again (called from inside that
 * callback: not called again once the calling call has returned).
 * CPU: both threads block while the bus is quiet (no CPU used) and also between frames of a
 * busy bus: each frame, or each batch of frames that an adapter completes in one USB frame
 * (1 ms at full speed, 125 us at high speed), costs one wake-up of each thread. They poll
 * instead only while polling pays: the event thread while every look at libusb finds a batch
 * of completions, or for 50 us after a transmit made as soon as the previous one returned (a
 * sending loop); the dispatch thread for at most 5 us while the event thread polls or frames
 * come less than 2 us apart. Transmits and control requests wait for their transfer by
 * polling for 5 us, then sleeping until it completes; after a round trip of 100 us or more
 * (an adapter that answers on USB's frames) only every eighth polls first. With a receive
 * latency budget (ovel_canfd_set_rx_latency) both threads wake about once per budget on a
 * busy bus instead. Measured on a 2-core virtual machine with the simulated adapter
 * (docs/performance.md), as % of one core for the whole process: 0 on a silent bus; 2.3 % at
 * 500 frames/s, 16 % at 5,000, 32 % at 20,000 with completions as fast as the simulator makes
 * them; 27 % at 20,000 frames/s on a high-speed link; 3.2 % at
 * 5,000 frames/s on a full-speed link; a thread sending 1,000 frames/s to a full-speed adapter,
 * 3.5 % for itself.
 *
 * Values: channel indexes are zero-based, unsigned 8-bit; on/off values are C bools in
 * which any nonzero byte means true; bitrates are in bit/s.
 */
#ifndef OVELCANFD_H
#define OVELCANFD_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* OVEL_CANFD_API marks the library's functions: on Windows imported from ovelcanfd.dll (define
 * OVEL_CANFD_STATIC when linking the library's objects statically instead). OVEL_CANFD_CALL is the
 * calling convention of every function and callback: the C one (__cdecl) on every system. */
#if defined(_WIN32)
#if defined(OVEL_CANFD_BUILD_DLL)
#define OVEL_CANFD_API __declspec(dllexport)
#elif defined(OVEL_CANFD_STATIC)
#define OVEL_CANFD_API
#else
#define OVEL_CANFD_API __declspec(dllimport)
#endif
#define OVEL_CANFD_CALL __cdecl
#elif defined(__GNUC__)
#define OVEL_CANFD_API __attribute__((visibility("default")))
#define OVEL_CANFD_CALL
#else
#define OVEL_CANFD_API
#define OVEL_CANFD_CALL
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
    /* An argument outside its documented range: a NULL record, a record too small, a value
       out of range (InvalidArgument). */
    OVEL_CANFD_ERR_INVALID_ARGUMENT = -11,
    /* No room now: a queued send found its channel's window full and was not to wait (Busy). */
    OVEL_CANFD_ERR_BUSY = -12
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
 * on the library's receive dispatch thread, one call at a time (also across stops, starts,
 * closes and opens made from inside it), in the order the adapter delivered the frames (across
 * all channels).
 * The record belongs to the library and is valid only until the callback returns; copy what
 * you need. No lock of the library is held while it runs: it may call any function on the
 * handle (see "Threads" above).
 */
typedef void (OVEL_CANFD_CALL *ovel_canfd_rx_callback)(const ovel_canfd_frame* frame);

/* The same with the application's own pointer, as given to ovel_canfd_set_rx_callback_ex. */
typedef void (OVEL_CANFD_CALL *ovel_canfd_rx_callback_ex)(const ovel_canfd_frame* frame, void* user);

/* Opaque handle: one per adapter the application wants to use. */
typedef struct ovel_canfd_driver ovel_canfd_driver;

/*
 * Creates a handle with no adapter open and no receive callback.
 * Returns NULL when memory is exhausted. Free it with ovel_canfd_deinit.
 */
OVEL_CANFD_API ovel_canfd_driver* OVEL_CANFD_CALL ovel_canfd_init(void);

/*
 * Closes the handle's adapter, if one is open (as ovel_canfd_close), and frees the handle,
 * which must not be used afterwards. Always returns 0 (also for a NULL handle).
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_deinit(ovel_canfd_driver* handle);

/*
 * Opens the first adapter (USB 1D50:606F) in the USB device list that can be opened and
 * claimed (adapters held by another handle or process, or that the user may not open, are
 * skipped; see "Discovery" below): detaches a kernel driver from interface 0 (closing gives it
 * back), claims it, starts the adapter's USB event thread and reads the adapter's
 * configuration (channel count, CAN clock, features). No request that changes the adapter is
 * sent.
 * The adapter the handle already has is not busy to it: when it is the first that matches, it
 * is closed and opened again (so opening a handle's only adapter once more succeeds, with fresh
 * settings). A different adapter is opened and read before the one the handle had is closed,
 * so that a failed open keeps it. On success, an adapter the handle already had is closed (as
 * by ovel_canfd_close) and replaced; all channel settings start from their defaults (bitrates
 * unset, enabled, no FD, loopback or monitor). The receive callback stays registered.
 * Returns 0, or -1 when no adapter could be opened; the handle then keeps the adapter it
 * had (none if it was that one that failed to open again), and ovel_canfd_get_last_error
 * tells why ("failed to open device: DeviceNotFound", "could not initialize libusb context",
 * ...). -1 for a NULL handle.
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_open(ovel_canfd_driver* handle);

/*
 * As ovel_canfd_open, but opens the first adapter whose USB serial number text equals
 * `serial` exactly (case-sensitive; an empty text matches an adapter with no readable
 * serial number). The library copies the text; the caller's buffer is not kept.
 * Returns 0, or -1 when nothing was opened, also for a NULL `serial` or one that is not
 * valid UTF-8 (failure text "failed to open device with serial number: ...").
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_open_with_device_serial_number(ovel_canfd_driver* handle,
                                                                 const char* serial);

/*
 * Closes the handle's adapter, if any: cancels its receive transfers, releases the USB
 * interface, gives it back to the kernel driver that opening detached (so the system's own
 * CAN interface returns), closes the USB device and ends the adapter's threads before
 * returning. Replacing the adapter by another open and ovel_canfd_deinit do the same. Nothing is sent to the
 * adapter: channels still started stay on the bus (stop them first to take them off).
 * The receive callback stays registered. Always returns 0 (also with no adapter open).
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_close(ovel_canfd_driver* handle);

/* Number of channels of the open adapter (1 to 256), or -1 with no open adapter. */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_get_channel_count(ovel_canfd_driver* handle);

/*
 * The failure text of the handle's most recent call, or "" when that call succeeded.
 * The text stays valid until the next call on the handle. For a NULL handle: "null handle".
 */
OVEL_CANFD_API const char* OVEL_CANFD_CALL ovel_canfd_get_last_error(ovel_canfd_driver* handle);

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
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_bitrate(ovel_canfd_driver* handle, uint8_t channel,
                                              uint32_t bitrate);
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_data_bitrate(ovel_canfd_driver* handle, uint8_t channel,
                                                   uint32_t bitrate);
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_enabled(ovel_canfd_driver* handle, uint8_t channel,
                                              bool enabled);
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_fd(ovel_canfd_driver* handle, uint8_t channel, bool fd);
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_hw_loopback(ovel_canfd_driver* handle, uint8_t channel,
                                                  bool loopback);
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_monitor(ovel_canfd_driver* handle, uint8_t channel,
                                              bool monitor);

/*
 * Puts the channel on the bus with its current settings (if it is enabled) and, when it
 * is the first started channel, starts reception. No bit timing is sent by start: a channel
 * whose bitrate was never set since the adapter was opened runs at whatever timing the
 * adapter already has (its firmware's power-on default, or what an earlier program or the
 * kernel's driver set), and may hear nothing on a bus at another bitrate. Set the bitrates
 * first; the ovelcanfd tool and the python-can interface set 500 kbit/s (and 2 Mbit/s for the
 * CAN FD data phase) when none is given. Starting a started channel again sends
 * the mode request again. Errors: INVALID_CHANNEL, UNSUPPORTED_FEATURE, DEVICE.
 * A start that fails while no channel is started leaves reception stopped, as ovel_canfd_stop
 * does: once it has returned, no callback is running and none is called (see "Threads").
 * Failure text "failed to start device".
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_start(ovel_canfd_driver* handle, uint8_t channel);

/*
 * Takes the channel off the bus (if it is enabled); when no channel is left started,
 * reception stops and the dispatch thread ends before the call returns. Frames received but
 * not yet delivered then stay queued and are delivered after the next start, ahead of newer
 * ones. Errors: INVALID_CHANNEL, DEVICE: if the adapter refused to take the channel off the
 * bus, the channel stays started; if only the receive transfers could not be cancelled, the
 * channel is stopped and reception has ended all the same (receive transfers have no time-out:
 * the library keeps asking for their cancellation until they are back; a start before then may
 * fail with DEVICE and can be retried).
 * Failure text "failed to stop device".
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_stop(ovel_canfd_driver* handle, uint8_t channel);

/*
 * Registers the receive callback (NULL: received frames are taken and dropped). Works with or
 * without an open adapter and always returns 0. The callback is handed to the receive dispatch
 * thread when reception starts, i.e. at the first ovel_canfd_start while no channel is started:
 * a callback registered while channels are started takes effect only after every channel has
 * been stopped and one started again. Closing or reopening keeps the registration.
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_rx_callback(ovel_canfd_driver* handle,
                                                  ovel_canfd_rx_callback callback);

/*
 * Registers a receive callback that is called with `user` as its second argument (NULL
 * callback: received frames are taken and dropped). Unlike ovel_canfd_set_rx_callback it takes
 * effect for the next frame delivered after it returns, also while channels are started: once
 * it has returned, the callback it replaced is not running and is not called again (it waits
 * for a call of that callback in progress on any dispatch thread of the handle, unless it is
 * called from inside that call).
 * Registering with either function replaces the other's registration. Works with or without an
 * open adapter. Returns 0; -1 for a NULL handle; DEVICE when memory is exhausted (failure text
 * "failed to set receive callback: out of memory").
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_rx_callback_ex(ovel_canfd_driver* handle,
                                                     ovel_canfd_rx_callback_ex callback,
                                                     void* user);

/*
 * Sends one frame and waits until the adapter has taken it (at most about 1 s). The record is
 * read during the call only; `echo` is ignored. The frame goes out on the record's channel,
 * which need not be started itself, with echo identifier 1; the adapter's echo comes back
 * through the receive callback with `echo` set.
 * What goes out depends on the adapter. One with CAN FD (feature FD, see
 * ovel_canfd_get_adapter_info) gets a CAN FD frame, or a classic frame with a DLC of 9 to 15,
 * as the 76-byte host frame, other frames as the 20-byte one. One without CAN FD parses only
 * the 20-byte host frame: a classic frame with a DLC of 9 to 15 goes out in it with the DLC
 * unchanged and 8 data bytes (as Linux sends such a frame on a classic interface), and a CAN FD
 * frame is refused. `brs` and `esi` mean
 * something only with `fd`: on a classic frame they are ignored (sent as 0).
 * Errors: NOT_RUNNING (no channel started; nothing is sent), INVALID_CHANNEL (beyond the last
 * channel), INVALID_FRAME (nothing is sent: NULL record "frame"; identifier of 2^29 or more,
 * or of 2^11 or more without `extended`: "id"; DLC above 15: "dlc"; `fd` with `rtr`, as CAN FD
 * has no remote frames: "rtr: CAN FD has no remote frames"; `fd` on an adapter without CAN FD:
 * "fd: the adapter has no CAN FD"), TIMEOUT (the adapter did not take the frame within 1 s),
 * DEVICE (the transfer was refused or failed). Failure text "failed to transmit frame".
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_transmit(ovel_canfd_driver* handle,
                                           const ovel_canfd_frame* frame);

/*
 * ---------------------------------------------------------------------------------------------
 * Queued sends: frames in flight, at the bus's pace.
 *
 * ovel_canfd_transmit waits for its USB transfer to complete before it returns, so a sender
 * gets at most one frame per USB frame: some 1,000 frames/s on a full-speed adapter, 8,000 on
 * a high-speed one, whatever the bus could carry. ovel_canfd_send returns as soon as the frame
 * is handed to USB and keeps up to a window of frames in flight per channel (default 10, as
 * the Linux kernel's gs_usb driver): a frame leaves the window when its echo comes back from
 * the adapter, that is once it was on the bus, so the window also bounds what waits in the
 * adapter. A sender then runs at the bus's pace.
 *
 * Which to use: ovel_canfd_transmit when each frame's outcome is wanted before the next call
 * (a request/response exchange at low rate, a tool that sends one frame); ovel_canfd_send for
 * streams (log replay, bus load, flashing over ISO-TP), where the outcome comes later: the
 * echo, with the send's identifier in ovel_canfd_rx_info.send_id, or a failure to collect with
 * ovel_canfd_get_failed_sends. Frames of one channel go out in the order of the calls that
 * sent them, through either function: the bulk OUT endpoint is one queue, so a transmit waits
 * behind the frames queued before it (while the adapter's buffer is full, it waits until room
 * frees, within its 1 s).
 *
 * Echo identifiers: transmit uses 1; queued sends use 0x80000000 to 0xFFFFFFFE, a different
 * one for each frame in flight. An echo in that range that matches no frame in flight (an
 * unknown or repeated identifier, or a frame already reported failed) is dropped, never handed
 * to the callback as another send's, and counted in send_echoes_unmatched.
 *
 * Failures are collected with a query rather than delivered to the receive handler: a frame
 * fails also when its channel is stopped, the adapter is closed or unplugged, that is when no
 * dispatch thread may run any more to call a handler; the query gives every failure, in order,
 * whenever the application asks, also after the adapter was closed.
 * ---------------------------------------------------------------------------------------------
 */

/*
 * Hands one frame to USB and returns without waiting for it to be sent. `frame` is checked as
 * ovel_canfd_transmit checks it and read during the call only. When the channel's window is
 * full, waits for room up to `timeout_ms` ms; 0: does not wait. On success `*send_id` (unless
 * `send_id` is NULL) gets the send's identifier: increasing by 1 with each frame sent on the
 * handle, from 1 (32 bits: after 4294967295 comes 1; a send that USB refused, returning DEVICE,
 * leaves its number unused). The frame's echo reaches the receive
 * callback with `echo` set and, in the handler's ovel_canfd_rx_info, this `send_id` (its
 * timestamps are those of the frame on the bus). A frame that does not come back (its transfer
 * fails or the adapter does not take it within 1 s, the channel is stopped, the adapter is
 * closed or unplugged before its echo) is reported failed exactly once: see
 * ovel_canfd_get_failed_sends. Nothing in flight is forgotten. An adapter that resets and
 * comes back on USB is an unplugged one; an echo that never comes while the adapter stays
 * (no node acknowledges: the controller retries) keeps its frame in the window until the
 * channel is stopped or the adapter closed, which reports it; ovel_canfd_flush with a time-out
 * tells such a stall.
 * Errors: those of ovel_canfd_transmit (failure text "failed to send frame"), and NOT_RUNNING
 * also when the frame's channel is not started or is disabled (unlike transmit, a queued send
 * needs its channel's echo); BUSY ("failed to send frame: Busy(\"send window full\")") when the
 * window is full and `timeout_ms` is 0; TIMEOUT ("failed to send frame: Timeout") when it stayed
 * full for `timeout_ms`. Any thread; also from inside the receive callback with `timeout_ms` 0
 * (a callback that waits for room would wait for echoes that only it can deliver).
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_send(ovel_canfd_driver* handle, const ovel_canfd_frame* frame,
                                       uint32_t timeout_ms, uint32_t* send_id);

/*
 * The most frames `channel` may have in flight with ovel_canfd_send: 1 to 32 (default 10, kept
 * while the adapter stays open). A smaller window than the frames now in flight makes senders
 * wait until enough have come back. Errors: INVALID_CHANNEL, INVALID_ARGUMENT outside 1 to 32
 * ("failed to set send window: InvalidArgument(\"frames: 1 to 32\")"), -1 with no adapter.
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_send_window(ovel_canfd_driver* handle, uint8_t channel,
                                                  uint32_t frames);

#define OVEL_CANFD_ALL_CHANNELS (-1)

/*
 * Waits until every frame ovel_canfd_send put in flight on `channel` (OVEL_CANFD_ALL_CHANNELS:
 * on every channel) has been echoed or reported failed, up to `timeout_ms` ms. Frames sent
 * meanwhile by other threads count too. Returns 0; TIMEOUT ("failed to flush: Timeout") when
 * frames were still in flight at the time-out (they stay in flight); INVALID_CHANNEL; -1 with
 * no adapter. Any thread, but not from inside the receive callback with a time-out other
 * than 0 (the echoes it waits for come through that callback's thread).
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_flush(ovel_canfd_driver* handle, int32_t channel,
                                        uint32_t timeout_ms);

/* ovel_canfd_failed_send.reason */
enum {
    OVEL_CANFD_SEND_FAILED_TRANSFER = 1,  /* the USB transfer failed */
    OVEL_CANFD_SEND_FAILED_TIMEOUT = 2,   /* the adapter did not take the frame within 1 s
                                             (its buffer stayed full: no node acknowledges?) */
    OVEL_CANFD_SEND_FAILED_STOPPED = 3,   /* the channel was stopped before the echo came */
    OVEL_CANFD_SEND_FAILED_UNPLUGGED = 4, /* the adapter went away */
    OVEL_CANFD_SEND_FAILED_CLOSED = 5     /* the adapter was closed before the echo came */
};

typedef struct ovel_canfd_failed_send {
    uint32_t send_id; /* offset 0: as ovel_canfd_send returned it */
    uint8_t channel;  /* offset 4 */
    uint8_t reason;   /* offset 5: OVEL_CANFD_SEND_FAILED_* */
    uint8_t reserved[2];
} ovel_canfd_failed_send; /* 8 bytes */

/*
 * Takes the oldest failed sends of the handle, up to `capacity`, into `out` and sets `*count`
 * to how many; each failure is given once. The handle keeps the last 4096 not yet taken
 * (further ones are only counted, in send_failures_not_kept). Works with or without an open
 * adapter, so that the failures of a close can be taken after it. Returns 0; -1 for a NULL
 * handle; INVALID_ARGUMENT for a NULL `count`, or a NULL `out` with `capacity` above 0. Any
 * thread.
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_get_failed_sends(ovel_canfd_driver* handle,
                                                   ovel_canfd_failed_send* out,
                                                   uint32_t capacity, uint32_t* count);

/*
 * Health: counters and the state of reception.
 *
 * Reception recovers by itself from what a USB link or an adapter's firmware does now and then.
 * A receive transfer that completes with an error or that overflows its 80-byte buffer (a
 * babbling adapter, a firmware that pads), and one whose resubmission libusb refuses, is
 * resubmitted at once twice in a row, then by the library's recovery thread ("ovel-rx-recover",
 * started by the first start, ended by close) after a delay that doubles from 1 ms to 64 ms;
 * the frame it would have carried is lost and counted. A stalled receive endpoint is cleared
 * (libusb_clear_halt, on the recovery thread) once the other receive transfers are cancelled
 * and back (a host controller resets the data toggle only of an endpoint with nothing queued;
 * otherwise the adapter's next frame would be lost), and the transfers are resubmitted.
 * Receive transfers have no time-out: a quiet bus costs nothing.
 * Reception ends by itself only when that cannot help: the adapter is gone (unplugged), the
 * endpoint stalls again after 4 clears with no frame in between (stall persists), or one
 * transfer failed 48 times in a row, some 2.6 s (errors persist). Then no receive transfer stays
 * in flight, no frame arrives any more, channels stay started and transmits are still tried;
 * rx_state reads OVEL_CANFD_RX_ENDED with the reason in rx_end_reason (kept after stop, until the
 * next start). To recover, stop every started channel and start them again (after reopening
 * for an unplugged adapter).
 */

/* ovel_canfd_stats.rx_state */
enum {
    OVEL_CANFD_RX_STOPPED = 0, /* not started since opening, or stopped by the application */
    OVEL_CANFD_RX_RUNNING = 1, /* started and receiving */
    OVEL_CANFD_RX_ENDED = 2    /* ended by itself: see rx_end_reason */
};

/* ovel_canfd_stats.rx_end_reason */
enum {
    OVEL_CANFD_RX_END_NONE = 0,
    OVEL_CANFD_RX_END_UNPLUGGED = 1,      /* the adapter is gone */
    OVEL_CANFD_RX_END_STALL_PERSISTS = 2, /* the receive endpoint stalled again after each clear */
    OVEL_CANFD_RX_END_ERRORS_PERSIST = 3  /* receive transfers kept failing through every retry */
};

/*
 * Counters of one open adapter since it was opened, and the state of its reception. Versioned:
 * the caller sets `size` to sizeof(ovel_canfd_stats) as it was compiled; later versions of the
 * library only append fields, so an older caller gets the fields it knows. Counts are 64-bit and
 * do not wrap in practice.
 */
typedef struct ovel_canfd_stats {
    uint32_t size;     /* offset 0: in: bytes the caller provides; out: bytes filled */
    uint32_t rx_state; /* offset 4: OVEL_CANFD_RX_* */
    uint32_t rx_end_reason;          /* offset 8: OVEL_CANFD_RX_END_* (with OVEL_CANFD_RX_ENDED) */
    uint32_t rx_transfers_in_flight; /* offset 12: receive transfers in flight, of 32 */
    uint64_t rx_frames;    /* offset 16: frames received and queued for the callback, echoes too */
    uint64_t rx_delivered; /* offset 24: frames the callback was called with */
    uint64_t rx_echoes;    /* offset 32: received frames that are echoes of transmitted ones */
    uint64_t rx_overflow_flags;  /* offset 40: received frames with the adapter's OVERFLOW flag:
                                    the adapter lost frames before each of them */
    uint64_t rx_dropped_short;   /* offset 48: transfers that held no whole host frame */
    uint64_t rx_dropped_header;  /* offset 56: frames with a DLC above 15 or a channel the
                                    adapter does not have */
    uint64_t rx_dropped_overflow;  /* offset 64: completions that overflowed the 80-byte buffer */
    uint64_t rx_dropped_no_memory; /* offset 72: frames lost because the queue could not grow */
    uint64_t rx_queue_depth;       /* offset 80: frames queued, not yet delivered, now */
    uint64_t rx_queue_high_water;  /* offset 88: the most frames the dispatch thread found
                                      queued when it looked for more */
    uint64_t rx_transfer_errors;   /* offset 96: receive completions with an error or a stall */
    uint64_t rx_refusals;          /* offset 104: receive resubmissions libusb refused */
    uint64_t rx_halts_cleared;     /* offset 112: stalls cleared on the receive endpoint */
    uint64_t rx_retries;           /* offset 120: receive transfers resubmitted after a delay */
    uint64_t tx_frames;            /* offset 128: frames the adapter took */
    uint64_t tx_failures;          /* offset 136: transmits whose transfer was refused or failed */
    uint64_t tx_timeouts;          /* offset 144: transmits the adapter did not take in time */
    /* Queued sends (ovel_canfd_send). The first four count for the handle since it was made,
       over every adapter opened on it; send_echoes_unmatched for this adapter. */
    uint64_t send_queued;          /* offset 152: frames handed to USB */
    uint64_t send_echoed;          /* offset 160: of those, echoed */
    uint64_t send_failed;          /* offset 168: of those, reported failed */
    uint64_t send_failures_not_kept; /* offset 176: failures beyond the 4096 kept for
                                        ovel_canfd_get_failed_sends */
    uint64_t send_echoes_unmatched;  /* offset 184: echoes in the queued range that matched no
                                        frame in flight: dropped */
} ovel_canfd_stats;                /* 192 bytes */

/*
 * Copies the counters and the state of reception into `out`: the fields that fit whole into
 * `out->size` bytes, and sets `out->size` to the bytes filled. Counters are read without
 * stopping anything, each one exact but not all at the same instant. Costs no USB traffic.
 * Returns 0; -1 with no open adapter (failure text "failed to get stats: no open device");
 * OVEL_CANFD_ERR_INVALID_ARGUMENT for a NULL `out` ("failed to get stats: null stats record")
 * or a `size` below 4 ("failed to get stats: size too small"). Any thread, also from inside
 * the callback; it waits while a configuration call runs on the handle.
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_get_stats(ovel_canfd_driver* handle, ovel_canfd_stats* out);

/*
 * ---------------------------------------------------------------------------------------------
 * Discovery, adapter information, termination and identification.
 *
 * Adapters are found in libusb's device list order. Each one sits at a port path written as the
 * Linux kernel names it in /sys/bus/usb/devices: "BUS-PORT.PORT...", e.g. "1-2.3" for port 3
 * of the hub at port 2 of bus 1. The path stays the same while the adapter stays plugged into
 * the same port, so it tells apart adapters without (or with equal) serial numbers.
 *
 * When several adapters match an open, the open functions take the first one that can be
 * opened and claimed; one held by another handle or process (busy) or that the user may not
 * open (access denied) is skipped. When none could be used, the failure text says how many
 * matched and why, e.g.
 *   "failed to open device: DeviceNotFound (2 adapters found: busy)"
 *   "failed to open device: DeviceNotFound (1 adapter found: access denied; a udev rule gives
 *    access: see README)"
 *   "failed to open device: DeviceNotFound (2 adapters found: 1 busy, 1 access denied; ...)"
 * (on one line; any other libusb failure is named by libusb's error name, e.g.
 * "LIBUSB_ERROR_IO"). "failed to open device: DeviceNotFound" alone means no adapter matched.
 * An adapter the user may not open cannot show its serial number, so a serial-number search
 * counts it among those found.
 * ---------------------------------------------------------------------------------------------
 */

/* ovel_canfd_adapter_info.availability */
enum {
    OVEL_CANFD_ADAPTER_FREE = 0,          /* can be opened now */
    OVEL_CANFD_ADAPTER_BUSY = 1,          /* interface 0 is held by another handle or process */
    OVEL_CANFD_ADAPTER_NO_PERMISSION = 2, /* the user may not open it (see README: udev rule) */
    OVEL_CANFD_ADAPTER_UNAVAILABLE = 3    /* opening it failed for another reason */
};

/* Sizes of the text fields, terminating NUL included. */
#define OVEL_CANFD_PATH_SIZE 32
#define OVEL_CANFD_STRING_SIZE 128

/*
 * One plugged adapter, as ovel_canfd_list_adapters reports it. Versioned by its size: the
 * caller sets `size` to sizeof(ovel_canfd_adapter_info); later versions only append fields.
 * Every text is NUL-terminated ASCII (libusb's conversion of the descriptor: other characters
 * read as '?'); a longer text is cut to the field's size minus 1. Texts the library could not
 * read (no permission, no such descriptor) are "".
 */
typedef struct ovel_canfd_adapter_info {
    uint32_t size;         /* in: sizeof(ovel_canfd_adapter_info); out: bytes written */
    uint16_t vendor_id;    /* USB vendor and product identifiers */
    uint16_t product_id;
    uint8_t bus;           /* USB bus number */
    bool kernel_driver;    /* a kernel driver (gs_usb) is bound: opening detaches it and close
                              gives it back */
    int32_t availability;  /* OVEL_CANFD_ADAPTER_* */
    char path[OVEL_CANFD_PATH_SIZE];            /* port path, "1-2.3" */
    char serial_number[OVEL_CANFD_STRING_SIZE]; /* as ovel_canfd_open_with_device_serial_number
                                                   matches it */
    char manufacturer[OVEL_CANFD_STRING_SIZE];
    char product[OVEL_CANFD_STRING_SIZE];
} ovel_canfd_adapter_info;

/*
 * Lists the gs_usb adapters (USB 1D50:606F, the ones the open functions open) plugged in now,
 * in USB device list order. Needs no handle: it creates a libusb context of its own and exits
 * it before returning, so it may be called at any time from any thread, also while adapters
 * are open. It reads only USB descriptors and never sends a request to an adapter. To tell a
 * free adapter from a busy one it opens the device and, unless a kernel driver is bound, claims
 * interface 0 and releases it at once: an open by another process at that very moment may
 * see the adapter busy.
 * Fills out[0 .. min(count, capacity) - 1] and returns the number of adapters plugged (also
 * those beyond `capacity`), so that a call with capacity 0 (out may then be NULL) tells how
 * many there are. The caller sets out[0].size to sizeof(ovel_canfd_adapter_info); the library
 * writes that many bytes (at most its own size) into every element it fills and sets each
 * element's `size` to the bytes written.
 * Errors: OVEL_CANFD_ERR_INVALID_ARGUMENT (out NULL with capacity > 0, or out[0].size smaller
 * than the first version of the record), OVEL_CANFD_ERR_DEVICE (no libusb context could be
 * created, or libusb could not list the devices). There is no failure text (no handle).
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_list_adapters(ovel_canfd_adapter_info* out, size_t capacity);

/*
 * As ovel_canfd_open, but opens the adapter at the port path `path` ("1-2.3", as
 * ovel_canfd_list_adapters reports it; exact match). The library copies the text.
 * Returns 0, or -1 when nothing was opened, also for a NULL path (failure text
 * "failed to open device with path: ..."; "... DeviceNotFound (1 adapter found: busy)" when
 * the adapter at that path is held elsewhere).
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_open_with_device_path(ovel_canfd_driver* handle,
                                                        const char* path);

/* Feature bits of ovel_canfd_adapter_details.features, as the adapter reports them. */
enum {
    OVEL_CANFD_FEATURE_LISTEN_ONLY = 1 << 0,
    OVEL_CANFD_FEATURE_LOOP_BACK = 1 << 1,
    OVEL_CANFD_FEATURE_TRIPLE_SAMPLE = 1 << 2,
    OVEL_CANFD_FEATURE_ONE_SHOT = 1 << 3,
    OVEL_CANFD_FEATURE_HW_TIMESTAMP = 1 << 4,
    OVEL_CANFD_FEATURE_IDENTIFY = 1 << 5,
    OVEL_CANFD_FEATURE_USER_ID = 1 << 6,
    OVEL_CANFD_FEATURE_PAD_PKTS_TO_MAX_PKT_SIZE = 1 << 7,
    OVEL_CANFD_FEATURE_FD = 1 << 8,
    OVEL_CANFD_FEATURE_REQ_USB_QUIRK_LPC546XX = 1 << 9,
    OVEL_CANFD_FEATURE_BT_CONST_EXT = 1 << 10,
    OVEL_CANFD_FEATURE_TERMINATION = 1 << 11,
    OVEL_CANFD_FEATURE_BERR_REPORTING = 1 << 12,
    OVEL_CANFD_FEATURE_GET_STATE = 1 << 13
};

/*
 * The name of feature bit `bit` (0 to 31) without prefix, e.g. "FD" for bit 8,
 * "TERMINATION" for bit 11; NULL for a bit with no known meaning. The text is static.
 * Any thread.
 */
OVEL_CANFD_API const char* OVEL_CANFD_CALL ovel_canfd_feature_name(uint32_t bit);

/*
 * The open adapter, as it described itself at opening. Versioned like ovel_canfd_adapter_info.
 * The timing limits are the nominal (arbitration) phase ones of BT_CONST, in time quanta
 * (tseg1 = propagation + phase segment 1) and prescaler steps.
 */
typedef struct ovel_canfd_adapter_details {
    uint32_t size;          /* in: sizeof(ovel_canfd_adapter_details); out: bytes written */
    uint32_t channel_count; /* 1 to 256 */
    uint32_t can_clock_hz;  /* the CAN controller's clock */
    uint32_t features;      /* OVEL_CANFD_FEATURE_* bits */
    uint32_t sw_version;    /* firmware version, as the adapter reports it */
    uint32_t hw_version;    /* hardware version, as the adapter reports it */
    uint32_t tseg1_min, tseg1_max;
    uint32_t tseg2_min, tseg2_max;
    uint32_t sjw_max;
    uint32_t brp_min, brp_max, brp_inc;
    ovel_canfd_adapter_info adapter; /* where it sits and its strings; availability BUSY
                                        (this handle holds it), kernel_driver false */
} ovel_canfd_adapter_details;

/*
 * Fills `out` with the open adapter's details; nothing is sent to the adapter. The caller sets
 * out->size (sizeof(ovel_canfd_adapter_details)); the library writes that many bytes at most.
 * Returns 0, -1 with no open adapter, OVEL_CANFD_ERR_INVALID_ARGUMENT for a NULL `out` or a
 * size smaller than the first version. Failure text "failed to get adapter info".
 * It, the termination and the identify calls are configuration calls (see "Threads").
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_get_adapter_info(ovel_canfd_driver* handle,
                                                   ovel_canfd_adapter_details* out);

/*
 * The channel's 120 ohm bus termination, switched by the adapter (feature TERMINATION):
 * set sends it at once, get asks the adapter. They work whether or not the channel is started.
 * Errors, in this order: UNSUPPORTED_FEATURE ("Termination"; nothing is sent),
 * INVALID_CHANNEL, DEVICE (the adapter did not take or answer the request),
 * INVALID_ARGUMENT (get: NULL `on`; tested before everything but the open device).
 * Failure texts "failed to set termination", "failed to get termination".
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_termination(ovel_canfd_driver* handle, uint8_t channel,
                                                  bool on);
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_get_termination(ovel_canfd_driver* handle, uint8_t channel,
                                                  bool* on);

/*
 * Makes the adapter blink its LEDs (on) or stop blinking (off), to find it among others
 * (feature IDENTIFY). Errors: UNSUPPORTED_FEATURE ("Identify"; nothing is sent),
 * INVALID_CHANNEL, DEVICE. Failure text "failed to identify adapter".
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_identify(ovel_canfd_driver* handle, uint8_t channel, bool on);

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
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_bitrate_sample_point(ovel_canfd_driver* handle,
                                                           uint8_t channel, uint32_t bitrate,
                                                           uint32_t sample_point_permille);
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_data_bitrate_sample_point(ovel_canfd_driver* handle,
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
 * Sends an explicit timing in time quanta for the channel's nominal phase (data_phase false)
 * or CAN FD data phase (data_phase true), as SocketCAN's "tq prop-seg phase-seg1 phase-seg2
 * sjw" and python-can's BitTiming give it: brp, prop_seg, phase_seg1, phase_seg2 and sjw of
 * *timing are used (its bitrate and sample_point_permille are ignored). Nothing is computed:
 * the bitrate is fclk_can / (brp * (1 + prop_seg + phase_seg1 + phase_seg2)) with the CAN
 * clock of ovel_canfd_get_adapter_info. The timing must lie within the adapter's limits for
 * that phase (BT_CONST; for the data phase BT_CONST_EXT when the adapter has it, otherwise the
 * nominal limits): brp from brp_min to brp_max and a multiple of brp_inc; tseg1 = prop_seg +
 * phase_seg1 from tseg1_min to tseg1_max with phase_seg1 at least 1; phase_seg2 from
 * tseg2_min to tseg2_max and at least 1; sjw from 1 to sjw_max and at most phase_seg1 and
 * phase_seg2. It goes to the adapter at once, also to a started channel, and is what
 * ovel_canfd_get_bit_timing reads back.
 * Checks, in this order: for the data phase UNSUPPORTED_FEATURE ("FD"); INVALID_CHANNEL;
 * INVALID_ARGUMENT for a NULL `timing` ("InvalidArgument(\"timing\")") or the first field
 * outside the limits, named in the order brp, tseg1, phase_seg2, sjw
 * ("InvalidArgument(\"phase_seg2\")"); DEVICE when the adapter did not take it. Failure text
 * "failed to set bit timing". A call that fails has changed nothing. Configuration call (see
 * "Threads").
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_bit_timing(ovel_canfd_driver* handle, uint8_t channel,
                                                 bool data_phase,
                                                 const ovel_canfd_bit_timing* timing);

/*
 * Writes to *out the timing last sent to the adapter for the channel's nominal phase
 * (data_phase false) or data phase (data_phase true), by any of the four bitrate setters or
 * ovel_canfd_set_bit_timing, since the adapter was opened. Before any was sent for that phase, every field of *out is 0;
 * a setter that failed leaves the previous timing as it was. Sends nothing to the adapter.
 * Returns 0, -1 with no open adapter, INVALID_CHANNEL, or INVALID_ARGUMENT for a NULL `out`
 * ("InvalidArgument(\"out\")"). Failure text "failed to get bit timing". A configuration call
 * (see "Threads"); *out is written only when it returns 0.
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_get_bit_timing(ovel_canfd_driver* handle, uint8_t channel,
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
/*
 * Receive handler with timestamps: called as the receive callback is (same thread, order,
 * record and rules), with what the library knows about the frame's arrival. The info record
 * belongs to the library and is valid only until the handler returns.
 *
 * `size` is the size of the record as this library fills it; fields may be added at its end in
 * later versions, so read a field only if it lies within `size`.
 * `host_time_ns`: CLOCK_REALTIME (ns since 1970) when the library's USB event thread handled
 *   the transfer's completion, not when the handler runs. The clock is read once per round of
 *   event handling, so frames whose transfers completed together (one USB frame of a busy bus)
 *   carry the same value.
 * `hw_time_ns`, `hw_timestamp_us`: valid only with OVEL_CANFD_RX_HW_TIMESTAMP in `flags`, for
 *   adapters with hardware timestamps (the library turns them on at start for every channel of
 *   such adapters). `hw_timestamp_us` is the latest hardware time of the streaming period (from
 *   the first started channel until every channel is stopped) as of this frame: the largest of
 *   the stamps of this frame and of every frame delivered before it in the period, each
 *   stamp being the adapter's 1 MHz counter at that frame's time on the bus (for an echo: when
 *   it went out), extended to 64 bits across its wrap-around every 71.6 minutes. For a frame
 *   stamped no earlier than those before it (the usual case) that is its own stamp; a frame
 *   stamped earlier than one delivered before it (an echo that reaches the host after a frame
 *   received later on the bus) reads the earlier frame's larger value, not its own, so that
 *   the value never goes backwards within the period. `hw_time_ns` is that same moment on
 *   CLOCK_REALTIME: the counter is read with the host clock when reception starts and the
 *   mapping is kept for the streaming period. The adapter's oscillator drift is not corrected
 *   (tens of microseconds per second at most).
 * `flags`: OVEL_CANFD_RX_HW_TIMESTAMP as above; OVEL_CANFD_RX_OVERFLOW: the adapter's receive
 *   queue overflowed before this frame and frames were lost on the adapter.
 * `sequence`: numbers every receive transfer that brought data from the adapter since the
 *   adapter was opened, starting at 0; a gap means transfers the library dropped (malformed
 *   frames: a DLC above 15, an unknown channel, a frame cut short).
 */
enum { OVEL_CANFD_RX_HW_TIMESTAMP = 0x1, OVEL_CANFD_RX_OVERFLOW = 0x2 };

typedef struct ovel_canfd_rx_info {
    uint32_t size;            /* offset 0: sizeof(ovel_canfd_rx_info) of the library */
    uint32_t flags;           /* offset 4: OVEL_CANFD_RX_* bits */
    uint64_t sequence;        /* offset 8 */
    int64_t host_time_ns;     /* offset 16: CLOCK_REALTIME at the transfer's completion */
    int64_t hw_time_ns;       /* offset 24: hw_timestamp_us on CLOCK_REALTIME */
    uint64_t hw_timestamp_us; /* offset 32: the largest extended stamp so far (see above) */
    uint32_t send_id;         /* offset 40: for the echo of a frame ovel_canfd_send sent, its
                                 send id; 0 otherwise. Only when size > 40. */
    uint32_t reserved;        /* offset 44 */
} ovel_canfd_rx_info;

typedef void (OVEL_CANFD_CALL *ovel_canfd_rx_handler)(const ovel_canfd_frame* frame, const ovel_canfd_rx_info* info,
                                      void* user);

/*
 * Registers a receive handler that is called with the frame, its info record and `user`
 * (NULL handler: received frames are taken and dropped). It behaves as
 * ovel_canfd_set_rx_callback_ex: it takes effect for the next frame delivered after it returns,
 * also while channels are started, and once it has returned the callback or handler it replaced
 * is not called again (unless called from inside that call). Registering with any of
 * ovel_canfd_set_rx_callback, ovel_canfd_set_rx_callback_ex and this function replaces the
 * others' registration. Works with or without an open adapter; any thread, also from inside
 * the callback. Returns 0; -1 for a NULL handle; DEVICE when memory is exhausted (failure text
 * "failed to set receive handler: out of memory").
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_rx_handler(ovel_canfd_driver* handle,
                                                 ovel_canfd_rx_handler handler, void* user);

/*
 * A receive latency budget: how long, in microseconds, a received frame may wait before the
 * dispatch thread is woken to deliver it. 0 (the default) wakes it for every frame or batch of
 * frames as it completes (see "CPU" at the top). With a budget the library trades latency for
 * CPU as a network card's interrupt coalescing does: once the dispatch thread has delivered
 * frames it sleeps for up to `max_us` and then delivers in one go what came meanwhile, woken
 * earlier only when 256 frames wait. After a look that found nothing it sleeps until the next
 * frame and delivers that one at once, so a quiet bus costs nothing and a frame after a quiet
 * spell longer than the budget waits no longer than without one. No frame waits longer than the
 * budget and one wake-up of the thread (on Windows the sleep lasts whole milliseconds, at the
 * resolution of the system's timer). Order and delivery are unchanged: every frame comes, in
 * order. The USB event thread likewise naps after a batch of received frames, for up to two
 * thirds of the budget (leaving at least 200 us for the delivery) and at most 250 ms, while
 * completions wait in libusb: never longer than half the library's 32 receive transfers take
 * to fill at the rate it has measured, so the adapter is never left without one, less how late
 * the system's timed waits end (Linux: 50 us; Windows: a timer tick, 16.6 ms, so that there it
 * naps only while frames come slowly), and not at all while a control request, a transmit or a
 * queued send is in flight. A transmit, a request, a queued send, a stop or a close ends its
 * nap at once. A budget pays when frames come more often than once per budget. At 20,000
 * frames/s on a high-speed link, 1000 took each thread from about 7,800 to 1,300 wake-ups/s
 * and the process from 23 to 5 % of a core (docs/performance.md). An unplugged adapter is
 * noticed up to one nap later.
 * 0 to 10,000,000 (10 s); kept while the adapter stays open (an open starts at 0). Takes effect
 * at once, also while channels are started: a dispatch thread asleep under the old budget
 * looks again. The budget never delays a stop, close or deinit: stop ends reception at once
 * (queued frames stay for the next start, as without a budget), close and deinit deliver what
 * is queued without waiting. Any thread, also from inside the receive callback.
 * Errors: INVALID_ARGUMENT above 10,000,000
 * ("failed to set receive latency: InvalidArgument(\"max_us: 0 to 10000000\")"), -1 with no
 * adapter.
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_set_rx_latency(ovel_canfd_driver* handle, uint32_t max_us);

/* Channel states, numbered as gs_usb and SocketCAN number them. */
enum {
    OVEL_CANFD_STATE_ERROR_ACTIVE = 0,
    OVEL_CANFD_STATE_ERROR_WARNING = 1, /* an error counter reached 96 */
    OVEL_CANFD_STATE_ERROR_PASSIVE = 2, /* an error counter reached 128 */
    OVEL_CANFD_STATE_BUS_OFF = 3,       /* the transmit counter passed 255: off the bus */
    OVEL_CANFD_STATE_STOPPED = 4,
    OVEL_CANFD_STATE_SLEEPING = 5 /* only adapters that report their state say this */
};

/* Where a bus state came from. */
enum {
    OVEL_CANFD_STATE_SOURCE_LIBRARY = 0,     /* the channel is not started (or disabled): stopped */
    OVEL_CANFD_STATE_SOURCE_ADAPTER = 1,     /* asked from the adapter now */
    OVEL_CANFD_STATE_SOURCE_ERROR_FRAMES = 2 /* derived from the adapter's error frames */
};

typedef struct ovel_canfd_bus_state {
    uint32_t size;      /* offset 0: set by the caller to sizeof(ovel_canfd_bus_state) */
    uint32_t state;     /* offset 4: OVEL_CANFD_STATE_* */
    uint32_t source;    /* offset 8: OVEL_CANFD_STATE_SOURCE_* */
    uint32_t rx_errors; /* offset 12: receive error counter */
    uint32_t tx_errors; /* offset 16: transmit error counter */
} ovel_canfd_bus_state;

/*
 * Fills `out` with the channel's bus state and error counters. The caller sets `out->size` to
 * the size of its record; the library writes only the whole fields that lie within it (fields
 * may be added at the end in later versions; a size ending inside a field leaves that field
 * unwritten) and sets `size` to the bytes it filled.
 * A channel not started (or started while disabled) reads as STOPPED, source LIBRARY, counters
 * 0, without a request to the adapter. Otherwise, when the adapter reports its state (feature
 * GET_STATE), the library asks it (source ADAPTER); adapters without it, or that cannot tell,
 * get the state the error frames received on the channel since its start imply, the way the
 * Linux kernel's driver follows them (source ERROR_FRAMES): error-active at start, warning and
 * passive from controller reports, bus-off, back to error-active on a restart report, the
 * counters from the last report that carried them. As in the kernel, a restart report wins over
 * bus-off in the same frame and warning over passive; unlike it, a controller report that tells
 * only of an overflow keeps the state. The error frames still reach the receive
 * callback as before.
 * Bus-off: the adapter has taken the channel off the bus and receives and sends nothing on it.
 * To recover, the application calls ovel_canfd_stop then ovel_canfd_start on the channel,
 * which resets the controller (counters back to 0) and puts it on the bus again.
 * Configuration call: runs one at a time with the others; any thread, also from inside the
 * callback. Errors: INVALID_CHANNEL, INVALID_ARGUMENT (NULL `out` or a `size` below 4: "state"),
 * DEVICE (the adapter did not answer the state request). Failure text "failed to get bus state".
 */
OVEL_CANFD_API int32_t OVEL_CANFD_CALL ovel_canfd_get_bus_state(ovel_canfd_driver* handle, uint8_t channel,
                                                ovel_canfd_bus_state* out);

#ifdef __cplusplus
}
#endif

#endif /* OVELCANFD_H */
