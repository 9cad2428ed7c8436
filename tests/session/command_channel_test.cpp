// The channel between the reader thread and the main loop, exercised with real threads. Waits for
// something that must happen are generous (seconds); checks that something does NOT happen look
// for a short while only, so a slow machine can make them pass wrongly but never fail wrongly.
#include "session/command_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace procsampler::session {
namespace {

using namespace std::chrono_literals;

ReaderMessage numbered(int n) { return Invalid{std::to_string(n)}; }

std::optional<MonoTime> inFuture(std::chrono::milliseconds wait) {
  return std::chrono::steady_clock::now() + wait;
}

bool eventually(const std::function<bool()>& condition) {
  const auto giveUp = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > giveUp) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(CommandChannel, SixtyFifthSendWaitsForAReceiveAndOrderIsKept) {
  CommandChannel channel = makeCommandChannel();
  std::atomic<int> sent{0};
  std::thread sender([&] {
    for (int i = 0; i <= static_cast<int>(COMMAND_QUEUE_CAPACITY); ++i) {
      ASSERT_TRUE(channel.sender.send(numbered(i)));
      sent.store(i + 1);
    }
  });

  ASSERT_TRUE(eventually([&] { return sent.load() == 64; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sent.load(), 64) << "the 65th message went in while 64 were waiting";

  for (int i = 0; i <= static_cast<int>(COMMAND_QUEUE_CAPACITY); ++i) {
    ReceiveResult received = channel.receiver.receive(inFuture(10s));
    ASSERT_EQ(received.status, ReceiveStatus::Message) << "message " << i;
    EXPECT_EQ(*received.message, numbered(i));
    if (i == 0) {
      EXPECT_TRUE(eventually([&] { return sent.load() == 65; }));
    }
  }
  sender.join();
}

TEST(CommandChannel, ReceiveWithDeadlineTimesOutOnlyAfterTheDeadline) {
  CommandChannel channel = makeCommandChannel();
  const auto start = std::chrono::steady_clock::now();
  const ReceiveResult received = channel.receiver.receive(start + 50ms);
  EXPECT_EQ(received.status, ReceiveStatus::TimedOut);
  EXPECT_FALSE(received.message.has_value());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
}

TEST(CommandChannel, ReceiveWakesForAMessageSentWhileItWaits) {
  CommandChannel channel = makeCommandChannel();
  std::thread sender([&] {
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(channel.sender.send(numbered(7)));
  });
  const ReceiveResult received = channel.receiver.receive(std::nullopt);
  ASSERT_EQ(received.status, ReceiveStatus::Message);
  EXPECT_EQ(*received.message, numbered(7));
  sender.join();
}

TEST(CommandChannel, SenderGoneIsReportedOnlyAfterEveryQueuedMessage) {
  CommandChannel channel = makeCommandChannel();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(channel.sender.send(numbered(i)));
  { CommandSender gone = std::move(channel.sender); }

  for (int i = 0; i < 3; ++i) {
    ReceiveResult received = channel.receiver.receive(inFuture(10s));
    ASSERT_EQ(received.status, ReceiveStatus::Message);
    EXPECT_EQ(*received.message, numbered(i));
  }
  // A deadline far ahead: a channel that missed the sender leaving would time out instead.
  EXPECT_EQ(channel.receiver.receive(inFuture(10s)).status, ReceiveStatus::SenderGone);
  EXPECT_EQ(channel.receiver.receive(inFuture(10s)).status, ReceiveStatus::SenderGone);
}

TEST(CommandChannel, ReceiveWithoutDeadlineWakesWhenTheSenderLeaves) {
  CommandChannel channel = makeCommandChannel();
  std::thread leaver([sender = std::move(channel.sender)]() mutable {
    std::this_thread::sleep_for(50ms);
    CommandSender gone = std::move(sender);
  });
  EXPECT_EQ(channel.receiver.receive(std::nullopt).status, ReceiveStatus::SenderGone);
  leaver.join();
}

TEST(CommandChannel, SendFailsOnceTheReceiverIsGone) {
  CommandChannel channel = makeCommandChannel();
  { CommandReceiver gone = std::move(channel.receiver); }
  EXPECT_FALSE(channel.sender.send(numbered(1)));
}

TEST(CommandChannel, SendBlockedOnAFullQueueFailsWhenTheReceiverLeaves) {
  CommandChannel channel = makeCommandChannel();
  for (int i = 0; i < static_cast<int>(COMMAND_QUEUE_CAPACITY); ++i) {
    ASSERT_TRUE(channel.sender.send(numbered(i)));
  }
  std::atomic<int> outcome{-1};
  std::thread sender([&] { outcome.store(channel.sender.send(numbered(64)) ? 1 : 0); });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(outcome.load(), -1) << "the send should still be waiting for room";
  { CommandReceiver gone = std::move(channel.receiver); }
  ASSERT_TRUE(eventually([&] { return outcome.load() != -1; }));
  EXPECT_EQ(outcome.load(), 0);
  sender.join();
}

}  // namespace
}  // namespace procsampler::session
