// The engine log: level filtering, sinks, and the process end on CRITICAL.
#include "log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = voxlog::EngineLog::AddSink([this](const voxlog::LogRecord& record) { records_.push_back(record); });
  }
  void TearDown() override {
    voxlog::EngineLog::RemoveSink(handle_);
    voxlog::EngineLog::SetLevel(voxlog::LOG_DEVELOP);
  }
  int handle_ = 0;
  std::vector<voxlog::LogRecord> records_;
};

TEST_F(LogTest, RecordsAtOrBelowTheLevelReachEverySink) {
  std::vector<std::string> second;
  const int other = voxlog::EngineLog::AddSink(
      [&second](const voxlog::LogRecord& record) { second.push_back(record.message); });
  voxlog::EngineLog::SetLevel(voxlog::LOG_WARNING);
  voxlog::EngineLog::Write(voxlog::LOG_ERROR, "bad", "net", 7);
  voxlog::EngineLog::Write(voxlog::LOG_WARNING, "meh");
  voxlog::EngineLog::Write(voxlog::LOG_DEBUG, "quiet");
  voxlog::EngineLog::RemoveSink(other);
  voxlog::EngineLog::Write(voxlog::LOG_ERROR, "after removal");

  ASSERT_EQ(records_.size(), 3u);
  EXPECT_EQ(records_[0].message, "bad");
  EXPECT_EQ(records_[0].level, voxlog::LOG_ERROR);
  EXPECT_EQ(records_[0].channel, "net");
  EXPECT_EQ(records_[0].id, 7);
  EXPECT_EQ(records_[1].channel, "");
  EXPECT_EQ(records_[1].id, 0);
  EXPECT_EQ(second, (std::vector<std::string>{"bad", "meh"}));
}

TEST_F(LogTest, LevelNames) {
  const char* expected[] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
  for (int level = 0; level <= 5; ++level) EXPECT_STREQ(voxlog::LevelName(level), expected[level]);
  EXPECT_STREQ(voxlog::LevelName(6), "UNKNOWN");
}

TEST(LogDeathTest, CriticalRecordEndsTheProcessAfterTheSinksSawIt) {
  EXPECT_EXIT(
      {
        voxlog::EngineLog::AddSink([](const voxlog::LogRecord& record) {
          std::fprintf(stderr, "sink got %s: %s\n", voxlog::LevelName(record.level), record.message.c_str());
        });
        voxlog::EngineLog::SetLevel(voxlog::LOG_CRITICAL);
        voxlog::EngineLog::Write(voxlog::LOG_CRITICAL, "the end");
      },
      ::testing::ExitedWithCode(1), "sink got CRITICAL: the end");
}

TEST(LogDeathTest, AssertionNamesConditionFileAndLine) {
  EXPECT_EXIT(
      {
        voxlog::EngineLog::AddSink(
            [](const voxlog::LogRecord& record) { std::fprintf(stderr, "%s\n", record.message.c_str()); });
        const int value = 3;
        VOXLOG_ASSERT(value == 4);
      },
      ::testing::ExitedWithCode(1), "Assertion failed: value == 4, file deps/voxlog/log_test.cpp, line [0-9]+");
}

}  // namespace
