// The logging facility: the enabling rule, cached loggers, trace scopes, assertions, process-wide and file-scope
// loggers, configuration, capture and the tagged allocators.

#include "SipTestText.h"
#include "stack/base/NvHandle.h"
#include "stack/base/NvObject.h"
#include "stack/log/Tellar.h"
#include "stack/log/TellarCapture.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

// A file-scope logger of this unit: it must exist before any test runs.
TELLAR_DEFINE_FILE_SCOPE_LOGGER("tellartest.fileScope")

namespace {

// A logger name of its own for each test, so that tests share no log4cplus state.
std::string testLoggerName(const std::string& suffix = "") {
    const std::string name = std::string("tellartest.") + testing::UnitTest::GetInstance()->current_test_info()->name();
    return suffix.empty() ? name : name + '.' + suffix;
}

// The captured records as "LEVEL text", oldest first.
Lines lines(const Tellar::LogCapture& capture) {
    Lines result;
    for (const auto& r : capture.records()) result.push_back(Tellar::logLevelName(r.level) + (' ' + r.text));
    return result;
}

struct Owner : Tellar::ObjectWithLogger<Tellar::CachedLLLogger> { using ObjectWithLogger::ObjectWithLogger; };

void tracedOperation(const Tellar::Logger& logger, bool fail) {
    TELLAR_TRACE_SCOPE(logger, "NvSipDialog::onTimeOut");
    TELLAR_DEBUG(logger, "inside");
    if (fail) throw std::runtime_error("failed");
}

}  // namespace

// Runs first in this file: nothing has asked for these loggers yet.
TEST(TellarLoading, LoggersExistAsSoonAsTheLibraryIsLoaded) {
    const std::pair<const char*, Tellar::Logger& (*)()> loggers[] = {
        {"tellartest.fileScope", &Tellar::fileScopeLogger}, {"lumbrook.sip.message.stray", &Tellar::strayMsgLogger},
        {"lumbrook.sip.interop.ua", &Tellar::Sip::getUAInteropLogger}};
    for (const auto& [name, get] : loggers)
        EXPECT_TRUE(Tellar::findLogger(name) != nullptr && Tellar::findLogger(name) == &get()) << name;
    EXPECT_EQ(nullptr, Tellar::findLogger("tellartest.neverAskedFor"));
}

// A logger under a top of its own whose log4cplus level is `hierarchy`, with an own level, with or without a
// capture on the top (and additivity on the way to it), asked about one level; plain and cached.
TEST(TellarEnabling, OwnLevelElseHierarchyAndAlwaysAnAppender) {
    // the top's log4cplus level, the logger's own, a capture on the top, additivity, the level asked, enabled
    const std::tuple<log4cplus::LogLevel, Tellar::LogLevel, bool, bool, Tellar::LogLevel, bool> cases[] = {
        {log4cplus::INFO_LOG_LEVEL, Tellar::INHERIT, true, true, Tellar::INFO, true},
        {log4cplus::INFO_LOG_LEVEL, Tellar::INHERIT, true, true, Tellar::DEBUG, false},
        {log4cplus::ERROR_LOG_LEVEL, Tellar::DEBUG, true, true, Tellar::DEBUG, true},  // own level below the top's
        {log4cplus::ERROR_LOG_LEVEL, Tellar::DEBUG, true, true, Tellar::TRACE, false},
        {log4cplus::TRACE_LOG_LEVEL, Tellar::ERROR, true, true, Tellar::WARN, false},  // own level above it
        {log4cplus::TRACE_LOG_LEVEL, Tellar::ERROR, true, true, Tellar::ERROR, true},
        {log4cplus::TRACE_LOG_LEVEL, Tellar::TRACE, false, true, Tellar::ERROR, false},  // nothing would be written
        {log4cplus::TRACE_LOG_LEVEL, Tellar::INHERIT, false, true, Tellar::ERROR, false},
        {log4cplus::TRACE_LOG_LEVEL, Tellar::TRACE, true, false, Tellar::ERROR, false},  // additivity stops the search
    };
    int index = 0;
    for (const auto& [hierarchy, own, appender, additive, asked, enabled] : cases) {
        const std::string top = testLoggerName(std::to_string(index++));
        log4cplus::Logger::getInstance(top).setAdditivity(false);  // no appender above the top
        log4cplus::Logger::getInstance(top).setLogLevel(hierarchy);
        Tellar::LogCapture capture(top, Tellar::INHERIT, Tellar::LogCapture::Additivity::Keep);
        if (!appender) capture.detach();
        Tellar::Logger logger(top + ".gap.leaf", own);  // nothing named top + ".gap" exists
        logger.getLog4cplusLogger().setAdditivity(additive);
        const bool cached = Tellar::CachedLLLogger(logger).isEnabledFor(asked);
        logger.log(asked, "asked");
        EXPECT_EQ(std::make_tuple(logger.isEnabledFor(asked), cached, capture.size()),
                  std::make_tuple(enabled, enabled, size_t(enabled))) << "case " << index;
    }
}

// INHERIT follows the hierarchy as it changes; records say where they come from; the macros compose the text only
// when enabled. A cached logger keeps the level read when it was made, and so do its copies, until refreshed or
// set. A capture keeps its logger's records (and its children's), then restores the logger.
TEST(TellarEnabling, InheritFollowsTheHierarchyCachedLevelsDoNotAndMacrosComposeOnlyWhenEnabled) {
    log4cplus::Logger target = log4cplus::Logger::getInstance(testLoggerName());
    target.setLogLevel(log4cplus::ERROR_LOG_LEVEL);
    Tellar::LogCapture parent(testLoggerName(), Tellar::INFO);
    EXPECT_FALSE(target.getAdditivity());
    Tellar::Logger& child = Tellar::getLogger(testLoggerName("child"));
    int evaluations = 0;
    TELLAR_DEBUG(child, "value " << ++evaluations);
    TELLAR_INFO(child, "value " << ++evaluations << " for call " << "abc@host");
    Owner original(child);
    target.setLogLevel(log4cplus::TRACE_LOG_LEVEL);
    child.log(Tellar::DEBUG, "visible", "Here.cpp", 12);
    const Tellar::CapturedRecord record = parent.records().back();
    EXPECT_EQ(child.getName() + " Here.cpp:12", record.logger + ' ' + record.file + ':' + std::to_string(record.line));
    TELLAR_TRACE(child, "t");
    TELLAR_WARN(child, "w");
    TELLAR_ERROR(child, "e");
    // The call's message logger is held as a Tellar::Logger* and deleted as one.
    std::unique_ptr<Tellar::Logger> copy(new Tellar::CachedLLLogger(Owner(original).getLogger()));
    TELLAR_DEBUG(*copy, "not logged: INFO was read");
    target.setLogLevel(log4cplus::ERROR_LOG_LEVEL);
    TELLAR_INFO(*copy, "kept");
    EXPECT_EQ((Lines{"INFO value 1 for call abc@host", "DEBUG visible", "TRACE t", "WARN w", "ERROR e", "INFO kept"}),
              lines(parent));
    original.getLogger().refreshCachedLevel();
    EXPECT_FALSE(original.getLogger().isEnabledFor(Tellar::INFO));
    original.getLogger().setLogLevel(Tellar::DEBUG);
    EXPECT_TRUE(original.getLogger().isEnabledFor(Tellar::DEBUG) && !original.getLogger().isEnabledFor(Tellar::TRACE));
    parent.detach();
    EXPECT_EQ(log4cplus::ERROR_LOG_LEVEL, target.getLogLevel());
    EXPECT_TRUE(target.getAdditivity() && target.getAllAppenders().empty());
}

// A trace scope's entry and exit surround the body and mark an exception; whether to write them is decided once,
// at entry. A failed assertion is reported (to the assert logger when there is no logger or it is silenced) and
// counted; the condition is evaluated once and the caller goes on.
TEST(TellarTrace, ScopesWriteEntryAndExitDecidedAtEntryAndFailedAssertionsAreReportedAndCounted) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::TRACE), assertLog("lumbrook.assert");
    Tellar::Logger logger(testLoggerName());
    tracedOperation(logger, false);
    EXPECT_THROW(tracedOperation(logger, true), std::runtime_error);
    EXPECT_TRUE(mentions(capture.records()[0].file, "TellarTest.cpp"));
    logger.setLogLevel(Tellar::DEBUG);
    tracedOperation(logger, false);  // a TRACE scope: only its body is logged
    for (const char* name : {"TellarTest::pair", "TellarTest::none"}) {  // the level changes inside each scope
        Tellar::TraceScope scope(logger, name, Tellar::DEBUG);
        logger.setLogLevel(logger.getLogLevel() == Tellar::DEBUG ? Tellar::ERROR : Tellar::DEBUG);
    }
    EXPECT_EQ((Lines{"TRACE ENTER: NvSipDialog::onTimeOut", "DEBUG inside", "TRACE EXIT: NvSipDialog::onTimeOut",
                     "TRACE ENTER: NvSipDialog::onTimeOut", "DEBUG inside",
                     "TRACE EXIT (exception): NvSipDialog::onTimeOut", "DEBUG inside", "DEBUG ENTER: TellarTest::pair",
                     "DEBUG EXIT: TellarTest::pair"}), lines(capture));
    capture.clear();
    const unsigned long before = Tellar::Assertion::sFailureCount();
    const int* value = nullptr;
    EXPECT_FALSE(TELLAR_ASSERT_ON(logger, value != nullptr));
    int evaluations = 0;
    EXPECT_TRUE(TELLAR_ASSERT_ON(logger, ++evaluations == 1) && evaluations == 1);
    EXPECT_EQ(before + 1, Tellar::Assertion::sFailureCount());
    EXPECT_FALSE(Tellar::Assertion(false, "! m_hInResponse.isNil()", nullptr, "/src/mlapi/NvSipDialog.cpp", 77));
    Tellar::Logger silenced(testLoggerName("silenced"), static_cast<Tellar::LogLevel>(60000));
    EXPECT_FALSE(TELLAR_ASSERT_ON(silenced, 1 + 1 == 3));
    EXPECT_EQ(1u, capture.count(Tellar::ERROR, "Assertion failed: value != nullptr (TellarTest.cpp:"));
    EXPECT_EQ(1u, capture.size()) << capture.dump();
    ASSERT_EQ(2u, assertLog.size()) << assertLog.dump();
    EXPECT_EQ("ERROR Assertion failed: ! m_hInResponse.isNil() (NvSipDialog.cpp:77)", lines(assertLog)[0]);
    EXPECT_TRUE(mentions(lines(assertLog)[1], "ERROR Assertion failed: 1 + 1 == 3 (TellarTest.cpp:"));
}

class TellarConfiguration : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv(Tellar::kConfigEnvironmentVariable);
        Tellar::configureDefault();
        std::remove(m_Path.c_str());
    }
    // What the test's logger writes to standard error when asked to log at DEBUG, INFO and WARN.
    static std::string logged() {
        ::testing::internal::CaptureStderr();
        for (Tellar::LogLevel level : {Tellar::DEBUG, Tellar::INFO, Tellar::WARN})
            TELLAR_LOG(Tellar::Logger(testLoggerName()), level, "at " << level);
        return ::testing::internal::GetCapturedStderr();
    }
    const std::string m_Path = ::testing::TempDir() + "tellartest_" + std::to_string(getpid()) + ".properties";
};

// A readable properties file replaces the configuration (not the loggers' own levels); the environment may name
// one; without one the built-in configuration writes warnings (only) to standard error, saying where from.
TEST_F(TellarConfiguration, FileReplacesTheDefaultButNotOwnLevelsElseWarningsGoToStandardError) {
    EXPECT_FALSE(Tellar::configure(nullptr) || Tellar::configure(m_Path.c_str())) << "no such file yet";
    EXPECT_TRUE(log4cplus::Logger::getRoot().getAppender(Tellar::kDefaultAppenderName)) << "unreadable: no change";
    Tellar::Logger ownLevel(testLoggerName("own"), Tellar::DEBUG), other("tellartest.unconfigured");
    other.getLog4cplusLogger().setLogLevel(log4cplus::TRACE_LOG_LEVEL);  // a level the file does not keep
    std::ofstream(m_Path) << "log4cplus.rootLogger=ERROR, E\nlog4cplus.logger." << testLoggerName() << "=DEBUG\n"
                          << "log4cplus.appender.E=log4cplus::ConsoleAppender\nlog4cplus.appender.E.logToStdErr=true\n"
                          << "log4cplus.appender.E.ImmediateFlush=true\nlog4cplus.appender.E.layout="
                          << "log4cplus::PatternLayout\nlog4cplus.appender.E.layout.ConversionPattern=%p %c %m%n\n";
    const std::string name = testLoggerName();
    const std::string fromTheFile =
        "DEBUG " + name + " at 10000\nINFO " + name + " at 20000\nWARN " + name + " at 30000\n";
    ASSERT_TRUE(Tellar::configure(m_Path.c_str()));
    EXPECT_TRUE(ownLevel.getLogLevel() == Tellar::DEBUG && !other.isEnabledFor(Tellar::WARN));
    EXPECT_EQ(fromTheFile, logged());
    setenv(Tellar::kConfigEnvironmentVariable, m_Path.c_str(), 1);
    EXPECT_TRUE(Tellar::configureDefault());
    EXPECT_EQ(fromTheFile, logged());
    setenv(Tellar::kConfigEnvironmentVariable, (m_Path + ".missing").c_str(), 1);
    EXPECT_FALSE(Tellar::configureDefault());
    const std::string err = logged();
    EXPECT_TRUE(!mentions(err, "at 20000") && mentions(err, "WARN") &&
                mentions(err, name + " - at 30000 (TellarTest.cpp:")) << err;
}

// Each tag counts its objects and raw blocks, whatever text it was given in, up on creation and down on delete.
TEST(TellarAllocation, CountsGoUpOnCreateAndDownOnWhateverDeletes) {
    struct CountedObject : NvObject, Tellar::TaggedAllocation {};
    const char* tag = "TellarTestCounted";
    const long live = Tellar::liveAllocations(tag);
    const unsigned long total = Tellar::totalAllocations(tag);
    CountedObject* a = Tellar::NoSizeMemAllocator::create<CountedObject>(tag);
    NvHandle<CountedObject> b(Tellar::DefaultStaticMemAllocator::create<CountedObject>(std::string(tag).c_str()));
    EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(a) % alignof(std::max_align_t));
    EXPECT_EQ(live + 2, Tellar::liveAllocations(tag)) << "the same tag in other text";
    delete a;
    b = nullptr;  // the last Release counts it down
    EXPECT_TRUE(Tellar::liveAllocations(tag) == live && Tellar::totalAllocations(tag) == total + 2);
    void* block = Tellar::NoSizeMemAllocator::allocate(100, "TellarTestRaw");
    EXPECT_EQ(1, Tellar::liveAllocations("TellarTestRaw"));
    Tellar::NoSizeMemAllocator::deallocate(block);
    Tellar::NoSizeMemAllocator::deallocate(nullptr);
    EXPECT_EQ(0, Tellar::liveAllocations("TellarTestRaw"));
}
