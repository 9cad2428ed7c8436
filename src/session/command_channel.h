// The bounded queue between the command reader thread and the main loop: 64 ReaderMessages, one
// sending end (the reader's) and one receiving end (the main loop's). The two ends are the only
// objects the two threads share; each end belongs to one thread, and the queue's lock is the only
// synchronisation between them.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "common/clock.h"
#include "protocol/command.h"

namespace procsampler::session {

inline constexpr std::size_t COMMAND_QUEUE_CAPACITY = 64;

// An input line the reader could not use, with the finished text the host will see, and the
// request id it carried when it was a JSON object with one.
struct Invalid {
  std::string text;
  std::optional<std::string> requestId = std::nullopt;
  friend bool operator==(const Invalid&, const Invalid&) = default;
};

using ReaderMessage = std::variant<protocol::Command, Invalid>;

enum class ReceiveStatus {
  Message,     // `message` holds the oldest queued message
  TimedOut,    // the deadline passed with nothing queued
  SenderGone,  // the sender is gone and everything it sent has been received
  Woken,       // the channel's waker was called since the last receive; comes before messages
};

struct ReceiveResult {
  ReceiveStatus status = ReceiveStatus::TimedOut;
  std::optional<ReaderMessage> message;  // present exactly for ReceiveStatus::Message
};

// What the main loop waits on. The command channel's receiving end in the program; a scripted
// source in tests of the loop.
class MessageSource {
 public:
  virtual ~MessageSource() = default;
  // Waits until a message is queued, the sender is gone with nothing left, or the monotonic
  // deadline passes; without a deadline it waits for one of the first two.
  virtual ReceiveResult receive(std::optional<MonoTime> deadline) = 0;
};

namespace detail {
struct ChannelState;
}

// The reader thread's end. Move-only; destroying it tells the receiver that nothing more will
// come once the queue is drained.
class CommandSender {
 public:
  explicit CommandSender(std::shared_ptr<detail::ChannelState> state);
  CommandSender(CommandSender&& other) noexcept = default;
  CommandSender& operator=(CommandSender&& other) noexcept;
  CommandSender(const CommandSender&) = delete;
  CommandSender& operator=(const CommandSender&) = delete;
  ~CommandSender();

  // Blocks while COMMAND_QUEUE_CAPACITY messages wait. Returns false, dropping the message, when
  // the receiving end has been destroyed (before or during the wait).
  [[nodiscard]] bool send(ReaderMessage message);

 private:
  void release();
  std::shared_ptr<detail::ChannelState> state_;
};

// Any thread's way to end the receiver's wait without a message: the next receive returns Woken
// once, however many wakes came before it. Copyable; harmless once the receiver is gone.
class ChannelWaker {
 public:
  explicit ChannelWaker(std::shared_ptr<detail::ChannelState> state);
  void wake() const;

 private:
  std::shared_ptr<detail::ChannelState> state_;
};

// The main loop's end. Move-only; destroying it discards what is queued and makes every later
// send fail, which is how the reader learns that the session is over.
class CommandReceiver final : public MessageSource {
 public:
  explicit CommandReceiver(std::shared_ptr<detail::ChannelState> state);
  CommandReceiver(CommandReceiver&& other) noexcept = default;
  CommandReceiver& operator=(CommandReceiver&& other) noexcept;
  CommandReceiver(const CommandReceiver&) = delete;
  CommandReceiver& operator=(const CommandReceiver&) = delete;
  ~CommandReceiver() override;

  // The deadline is on SystemClock's monotonic clock.
  ReceiveResult receive(std::optional<MonoTime> deadline) override;

  ChannelWaker waker() const { return ChannelWaker(state_); }

 private:
  void release();
  std::shared_ptr<detail::ChannelState> state_;
};

struct CommandChannel {
  CommandSender sender;
  CommandReceiver receiver;
};

// An empty channel with room for COMMAND_QUEUE_CAPACITY messages.
CommandChannel makeCommandChannel();

}  // namespace procsampler::session
