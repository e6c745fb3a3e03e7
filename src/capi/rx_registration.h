// Registration of a receive callback that reaches the dispatch thread at once.
#pragma once

#include "capi/driver.h"

namespace ovel {

// Records `callback` and installs it in the current streaming period's slot; waits for a call
// of the one it replaces in progress (not from inside it). May throw std::bad_alloc.
void register_rx_callback(Driver* driver, const RxCallback& callback);

}  // namespace ovel
