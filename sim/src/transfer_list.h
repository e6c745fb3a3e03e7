// An intrusive FIFO of transfers: queues and unlinks without allocating, so the per-frame path
// of the simulator stays allocation-free.
#pragma once

#include <cstddef>

namespace ovsim::detail {

template <typename Node, Node* Node::*Prev, Node* Node::*Next>
class IntrusiveList {
  public:
    bool empty() const { return head_ == nullptr; }
    std::size_t size() const { return size_; }
    Node* front() const { return head_; }
    Node* back() const { return tail_; }
    static Node* next(const Node& node) { return node.*Next; }
    static Node* previous(const Node& node) { return node.*Prev; }

    void push_back(Node& node) {
        node.*Prev = tail_;
        node.*Next = nullptr;
        if (tail_ != nullptr) {
            tail_->*Next = &node;
        } else {
            head_ = &node;
        }
        tail_ = &node;
        ++size_;
    }

    // Inserts `node` after `position`, or at the front when `position` is null.
    void insert_after(Node* position, Node& node) {
        Node* following = position != nullptr ? position->*Next : head_;
        node.*Prev = position;
        node.*Next = following;
        if (position != nullptr) {
            position->*Next = &node;
        } else {
            head_ = &node;
        }
        if (following != nullptr) {
            following->*Prev = &node;
        } else {
            tail_ = &node;
        }
        ++size_;
    }

    void remove(Node& node) {
        if (node.*Prev != nullptr) {
            node.*Prev->*Next = node.*Next;
        } else {
            head_ = node.*Next;
        }
        if (node.*Next != nullptr) {
            node.*Next->*Prev = node.*Prev;
        } else {
            tail_ = node.*Prev;
        }
        node.*Prev = nullptr;
        node.*Next = nullptr;
        --size_;
    }

    Node* pop_front() {
        Node* node = head_;
        if (node != nullptr) {
            remove(*node);
        }
        return node;
    }

  private:
    Node* head_ = nullptr;
    Node* tail_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace ovsim::detail
