#include "session/command_channel.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

namespace procsampler::session {
namespace detail {

struct ChannelState {
  std::mutex mutex;
  std::condition_variable messageOrSenderGone;  // waited on by the receiver
  std::condition_variable roomOrReceiverGone;   // waited on by the sender
  std::deque<ReaderMessage> queue;
  bool senderAlive = true;
  bool receiverAlive = true;
  bool woken = false;
};

}  // namespace detail

CommandChannel makeCommandChannel() {
  auto state = std::make_shared<detail::ChannelState>();
  return CommandChannel{CommandSender(state), CommandReceiver(state)};
}

CommandSender::CommandSender(std::shared_ptr<detail::ChannelState> state)
    : state_(std::move(state)) {}

CommandSender& CommandSender::operator=(CommandSender&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
  }
  return *this;
}

CommandSender::~CommandSender() { release(); }

void CommandSender::release() {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->senderAlive = false;
  }
  state_->messageOrSenderGone.notify_all();
  state_.reset();
}

bool CommandSender::send(ReaderMessage message) {
  if (!state_) return false;
  detail::ChannelState& s = *state_;
  {
    std::unique_lock lock(s.mutex);
    s.roomOrReceiverGone.wait(
        lock, [&] { return !s.receiverAlive || s.queue.size() < COMMAND_QUEUE_CAPACITY; });
    if (!s.receiverAlive) return false;
    s.queue.push_back(std::move(message));
  }
  s.messageOrSenderGone.notify_one();
  return true;
}

ChannelWaker::ChannelWaker(std::shared_ptr<detail::ChannelState> state)
    : state_(std::move(state)) {}

void ChannelWaker::wake() const {
  {
    std::lock_guard lock(state_->mutex);
    state_->woken = true;
  }
  state_->messageOrSenderGone.notify_one();
}

CommandReceiver::CommandReceiver(std::shared_ptr<detail::ChannelState> state)
    : state_(std::move(state)) {}

CommandReceiver& CommandReceiver::operator=(CommandReceiver&& other) noexcept {
  if (this != &other) {
    release();
    state_ = std::move(other.state_);
  }
  return *this;
}

CommandReceiver::~CommandReceiver() { release(); }

void CommandReceiver::release() {
  if (!state_) return;
  std::deque<ReaderMessage> discarded;
  {
    std::lock_guard lock(state_->mutex);
    state_->receiverAlive = false;
    discarded.swap(state_->queue);
  }
  state_->roomOrReceiverGone.notify_all();
  state_.reset();
}

ReceiveResult CommandReceiver::receive(std::optional<MonoTime> deadline) {
  if (!state_) return {ReceiveStatus::SenderGone, std::nullopt};
  detail::ChannelState& s = *state_;
  std::unique_lock lock(s.mutex);
  const auto ready = [&] { return s.woken || !s.queue.empty() || !s.senderAlive; };
  if (deadline) {
    s.messageOrSenderGone.wait_until(lock, *deadline, ready);
  } else {
    s.messageOrSenderGone.wait(lock, ready);
  }
  if (std::exchange(s.woken, false)) return {ReceiveStatus::Woken, std::nullopt};
  // Queued messages come before the news that the sender is gone.
  if (!s.queue.empty()) {
    ReceiveResult result{ReceiveStatus::Message, std::move(s.queue.front())};
    s.queue.pop_front();
    lock.unlock();
    s.roomOrReceiverGone.notify_one();
    return result;
  }
  if (!s.senderAlive) return {ReceiveStatus::SenderGone, std::nullopt};
  return {ReceiveStatus::TimedOut, std::nullopt};
}

}  // namespace procsampler::session
