// The object behind one handle, and the locks that make its calls safe from any thread.
#pragma once

#include <memory>
#include <mutex>

#include "capi/failure_texts.h"
#include "capi/rx_callback_slot.h"
#include "device/device.h"
#include "ovelcanfd.h"

struct ovel_canfd_driver {
    // Serializes the configuration calls: open, close, the setters, start and stop. Never held
    // while waiting for a dispatch thread, whose callback may make such calls itself.
    std::mutex config_mutex;
    // Serializes transmits, which run alongside configuration calls; taken as well to replace
    // the device, so that no transmit outlives the device it runs on.
    std::mutex tx_mutex;
    std::unique_ptr<ovel::Device> device;

    // The receive callback: the registered one, which the next streaming period takes; the
    // current period's (`live`), which its first frame installs; and the slot the dispatch
    // threads call. The mutex is held only briefly, never while calling the application.
    std::mutex registration_mutex;
    ovel::RxCallback registered;
    ovel::RxCallback live;
    ovel::RxCallbackSlot slot;
    // The dispatch threads of every streaming period, across close and reopen: one delivers at
    // a time, and those of ended periods wait here for whoever may join them. Declared after
    // the slot, so that it is gone first.
    std::shared_ptr<ovel::RxDispatchLine> line = std::make_shared<ovel::RxDispatchLine>();

    ovel::FailureTexts failures;

    // Queued sends of every adapter opened on this handle: send ids, counters and the failed
    // sends not yet collected (they outlive the adapter, which may fail them as it closes).
    std::shared_ptr<ovel::usb::SendLedger> send_ledger = std::make_shared<ovel::usb::SendLedger>();

    ovel_canfd_driver() = default;
    ovel_canfd_driver(const ovel_canfd_driver&) = delete;
    ovel_canfd_driver& operator=(const ovel_canfd_driver&) = delete;
    // Freed on the dispatch thread after a deinit from inside the callback: taking each lock
    // once orders the last writes of the threads that called before it ahead of the frees.
    ~ovel_canfd_driver() {
        { std::lock_guard lock(config_mutex); }
        { std::lock_guard lock(tx_mutex); }
        { std::lock_guard lock(registration_mutex); }
        failures.synchronize();
    }
};

namespace ovel {
using Driver = ovel_canfd_driver;
}
