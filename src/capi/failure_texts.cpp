#include "capi/failure_texts.h"

#include <new>

namespace ovel {

void FailureTexts::clear() {
    std::lock_guard lock(mutex_);
    texts_.erase(std::this_thread::get_id());
}

void FailureTexts::set(std::string text) noexcept {
    std::lock_guard lock(mutex_);
    try {
        texts_[std::this_thread::get_id()] = std::move(text);
    } catch (const std::bad_alloc&) {
        // Out of memory for the text itself: the return code still tells the failure.
    }
}

const char* FailureTexts::get() {
    std::lock_guard lock(mutex_);
    const auto found = texts_.find(std::this_thread::get_id());
    return found == texts_.end() ? "" : found->second.c_str();
}

}  // namespace ovel
