// The two channels between callers and the loop thread: the bounded command queue (many
// senders, one receiver) and the single-use reply channel of one command. Neither touches
// Python: a caller that must not block (it holds the interpreter lock) tries first and waits
// only once it has released that lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

namespace quillet::control_loop {

// What a use of a channel whose other end has gone displays as.
inline constexpr std::string_view kQueueClosed = "channel closed";                    // a send to the queue
inline constexpr std::string_view kReplyReceiverGone = "sending on a closed channel";  // a reply sent
inline constexpr std::string_view kReplySenderGone = "receiving on a closed channel";  // a reply awaited

// ---- Bounded queue --------------------------------------------------------------------------

// A send that found the receiving end gone hands the value back.
template <class T>
struct Closed {
  T value;
};

template <class T>
class QueueSender;
template <class T>
class QueueReceiver;

namespace detail {
template <class T>
struct QueueState {
  explicit QueueState(std::size_t capacity) : capacity(capacity) {}

  const std::size_t capacity;
  std::mutex mutex;
  std::condition_variable not_empty;  // an item, a wake-up, or the last sender gone
  std::condition_variable not_full;   // room, or the receiver gone
  std::deque<T> items;
  std::size_t senders = 0;
  bool receiver_open = true;
  bool wake = false;  // a one-shot nudge of the receiver without an item
};
}  // namespace detail

// Creates a queue with room for `capacity` items.
template <class T>
std::pair<QueueSender<T>, QueueReceiver<T>> bounded_queue(std::size_t capacity);

template <class T>
class QueueSender {
 public:
  QueueSender(const QueueSender& other) : state_(other.state_) { attach(); }
  QueueSender(QueueSender&& other) noexcept = default;
  QueueSender& operator=(QueueSender other) noexcept {
    std::swap(state_, other.state_);
    return *this;
  }
  ~QueueSender() {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      --state_->senders;
    }
    state_->not_empty.notify_all();
  }

  // Queues `value`, waiting while the queue is full. Fails once the receiver is gone.
  std::expected<void, Closed<T>> send(T value) {
    std::unique_lock lock(state_->mutex);
    state_->not_full.wait(lock, [&] {
      return !state_->receiver_open || state_->items.size() < state_->capacity;
    });
    return push(lock, std::move(value));
  }

  // Queues `value` only if that needs no wait. Full: the value back in `full`.
  struct TrySend {
    std::expected<void, Closed<T>> done;  // meaningful only when `full` is empty
    std::optional<T> full;
  };
  TrySend try_send(T value) {
    std::unique_lock lock(state_->mutex);
    if (state_->receiver_open && state_->items.size() >= state_->capacity) {
      return {{}, std::move(value)};
    }
    return {push(lock, std::move(value)), std::nullopt};
  }

  // Ends the receiver's current or next wait even without an item.
  void wake_receiver() {
    {
      std::lock_guard lock(state_->mutex);
      state_->wake = true;
    }
    state_->not_empty.notify_all();
  }

 private:
  friend std::pair<QueueSender<T>, QueueReceiver<T>> bounded_queue<T>(std::size_t);
  explicit QueueSender(std::shared_ptr<detail::QueueState<T>> state) : state_(std::move(state)) {
    attach();
  }
  void attach() {
    std::lock_guard lock(state_->mutex);
    ++state_->senders;
  }
  std::expected<void, Closed<T>> push(std::unique_lock<std::mutex>& lock, T value) {
    if (!state_->receiver_open) return std::unexpected(Closed<T>{std::move(value)});
    state_->items.push_back(std::move(value));
    lock.unlock();
    state_->not_empty.notify_one();
    return {};
  }

  std::shared_ptr<detail::QueueState<T>> state_;
};

template <class T>
class QueueReceiver {
 public:
  enum class Wait { Ready, TimedOut, Woken, Disconnected };

  QueueReceiver(QueueReceiver&&) noexcept = default;
  QueueReceiver& operator=(QueueReceiver&&) noexcept = default;
  // Closes the queue; items still in it are destroyed unexecuted.
  ~QueueReceiver() {
    if (!state_) return;
    std::deque<T> dropped;
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_open = false;
      dropped.swap(state_->items);
    }
    state_->not_full.notify_all();
    // `dropped` goes here, outside the lock: an item's destructor may wake its own waiter.
  }

  // Waits until an item is there, `deadline` passes, a sender wakes the receiver, or no sender
  // is left (Disconnected, only while the queue is empty). Takes nothing.
  template <class Clock, class Duration>
  Wait wait_until(const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock lock(state_->mutex);
    for (;;) {
      if (!state_->items.empty()) return Wait::Ready;
      if (std::exchange(state_->wake, false)) return Wait::Woken;
      if (state_->senders == 0) return Wait::Disconnected;
      if (state_->not_empty.wait_until(lock, deadline) == std::cv_status::timeout &&
          state_->items.empty() && !state_->wake && state_->senders != 0) {
        return Wait::TimedOut;
      }
    }
  }

  bool ready() {
    std::lock_guard lock(state_->mutex);
    return !state_->items.empty();
  }

  std::optional<T> try_recv() {
    std::optional<T> item;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->items.empty()) return std::nullopt;
      item.emplace(std::move(state_->items.front()));
      state_->items.pop_front();
    }
    state_->not_full.notify_one();
    return item;
  }

  // Refuses every later send (kQueueClosed); what is queued stays receivable.
  void close() {
    {
      std::lock_guard lock(state_->mutex);
      state_->receiver_open = false;
    }
    state_->not_full.notify_all();
  }

 private:
  friend std::pair<QueueSender<T>, QueueReceiver<T>> bounded_queue<T>(std::size_t);
  explicit QueueReceiver(std::shared_ptr<detail::QueueState<T>> state) : state_(std::move(state)) {}

  std::shared_ptr<detail::QueueState<T>> state_;
};

template <class T>
std::pair<QueueSender<T>, QueueReceiver<T>> bounded_queue(std::size_t capacity) {
  auto state = std::make_shared<detail::QueueState<T>>(capacity);
  return {QueueSender<T>(state), QueueReceiver<T>(state)};
}

// ---- Reply channel --------------------------------------------------------------------------

template <class T>
class ReplySender;
template <class T>
class ReplyReceiver;

namespace detail {
template <class T>
struct ReplyState {
  std::mutex mutex;
  std::condition_variable done;
  std::optional<T> value;
  bool sender_gone = false;
  bool receiver_gone = false;
};
}  // namespace detail

template <class T>
std::pair<ReplySender<T>, ReplyReceiver<T>> reply_channel();

// Carries at most one value. Dropped without one, it wakes the waiter as a disconnection.
template <class T>
class ReplySender {
 public:
  ReplySender(ReplySender&&) noexcept = default;
  ReplySender& operator=(ReplySender&& other) noexcept {
    if (this != &other) {
      disconnect();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~ReplySender() { disconnect(); }

  // Delivers `value` and uses the sender up. False when the receiver is already gone.
  bool send(T value) && {
    auto state = std::move(state_);
    bool delivered;
    {
      std::lock_guard lock(state->mutex);
      delivered = !state->receiver_gone;
      if (delivered) state->value.emplace(std::move(value));
      state->sender_gone = true;
    }
    state->done.notify_all();
    return delivered;
  }

 private:
  friend std::pair<ReplySender<T>, ReplyReceiver<T>> reply_channel<T>();
  explicit ReplySender(std::shared_ptr<detail::ReplyState<T>> state) : state_(std::move(state)) {}
  void disconnect() noexcept {
    if (!state_) return;
    {
      std::lock_guard lock(state_->mutex);
      state_->sender_gone = true;
    }
    state_->done.notify_all();
    state_.reset();
  }

  std::shared_ptr<detail::ReplyState<T>> state_;
};

template <class T>
class ReplyReceiver {
 public:
  enum class Failure { Disconnected, TimedOut };

  ReplyReceiver(ReplyReceiver&&) noexcept = default;
  ReplyReceiver& operator=(ReplyReceiver&&) noexcept = default;
  ~ReplyReceiver() {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->receiver_gone = true;
  }

  // The value once the sender has given it or gone; nothing while it may still come.
  std::optional<std::expected<T, Failure>> try_recv() {
    std::lock_guard lock(state_->mutex);
    return take();
  }

  std::expected<T, Failure> recv() {
    std::unique_lock lock(state_->mutex);
    state_->done.wait(lock, [&] { return state_->sender_gone; });
    return *take();
  }

  template <class Clock, class Duration>
  std::expected<T, Failure> recv_until(const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock lock(state_->mutex);
    if (!state_->done.wait_until(lock, deadline, [&] { return state_->sender_gone; })) {
      return std::unexpected(Failure::TimedOut);
    }
    return *take();
  }

 private:
  friend std::pair<ReplySender<T>, ReplyReceiver<T>> reply_channel<T>();
  explicit ReplyReceiver(std::shared_ptr<detail::ReplyState<T>> state) : state_(std::move(state)) {}

  // With the mutex held.
  std::optional<std::expected<T, Failure>> take() {
    if (state_->value) {
      T value = std::move(*state_->value);
      state_->value.reset();
      return std::expected<T, Failure>(std::move(value));
    }
    if (state_->sender_gone) return std::expected<T, Failure>(std::unexpected(Failure::Disconnected));
    return std::nullopt;
  }

  std::shared_ptr<detail::ReplyState<T>> state_;
};

template <class T>
std::pair<ReplySender<T>, ReplyReceiver<T>> reply_channel() {
  auto state = std::make_shared<detail::ReplyState<T>>();
  return {ReplySender<T>(state), ReplyReceiver<T>(state)};
}

}  // namespace quillet::control_loop
