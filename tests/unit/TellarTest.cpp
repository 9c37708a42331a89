// Tests of the logging facility: the enabling rule, cached loggers, trace
// scopes, assertions, process-wide and file-scope loggers, configuration,
// capture and the tagged allocators.

#include "stack/base/NvHandle.h"
#include "stack/base/NvObject.h"
#include "stack/log/Tellar.h"
#include "stack/log/TellarCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

// A file-scope logger of this unit: it must exist before any test runs.
TELLAR_DEFINE_FILE_SCOPE_LOGGER("tellartest.fileScope")

namespace {

using Lines = std::vector<std::string>;
using Additivity = Tellar::LogCapture::Additivity;

// A logger name of its own for each test, so that tests do not share
// log4cplus state.
std::string testLoggerName(const std::string& suffix = "") {
    std::string name = "tellartest.";
    name += ::testing::UnitTest::GetInstance()->current_test_info()->name();
    return suffix.empty() ? name : name + '.' + suffix;
}

// The captured records as "LEVEL text", oldest first.
Lines lines(const Tellar::LogCapture& capture) {
    Lines result;
    for (const Tellar::CapturedRecord& r : capture.records())
        result.push_back(Tellar::logLevelName(r.level) + (' ' + r.text));
    return result;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

// ------------------------------------------------------------------ loading

// Runs first in this file: nothing has asked for these loggers yet.
TEST(TellarLoading, LoggersExistAsSoonAsTheLibraryIsLoaded) {
    for (const char* name : {"tellartest.fileScope", "lumbrook.sip.message.stray", "lumbrook.sip.interop.ua"})
        EXPECT_NE(nullptr, Tellar::findLogger(name)) << name;
    EXPECT_EQ(nullptr, Tellar::findLogger("tellartest.neverAskedFor"));
    EXPECT_EQ(&Tellar::getLogger("tellartest.fileScope"), &Tellar::fileScopeLogger());
    EXPECT_EQ(&Tellar::getLogger("lumbrook.sip.message.stray"), &Tellar::strayMsgLogger());
    EXPECT_EQ(&Tellar::getLogger("lumbrook.sip.interop.ua"), &Tellar::Sip::getUAInteropLogger());
}

// ------------------------------------------------------------------ enabling rule

// A logger under a top of its own whose log4cplus level is `hierarchy`, with
// an own level, with or without a capture on the top (and additivity on the
// way to it), asked about one level.
TEST(TellarEnabling, OwnLevelElseHierarchyAndAlwaysAnAppender) {
    const struct {
        log4cplus::LogLevel hierarchy;
        Tellar::LogLevel own;
        bool appender;
        bool additive;
        Tellar::LogLevel asked;
        bool enabled;
    } cases[] = {
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
    for (const auto& c : cases) {
        const std::string top = testLoggerName(std::to_string(index++));
        log4cplus::Logger::getInstance(top).setAdditivity(false);  // no appender above the top
        log4cplus::Logger::getInstance(top).setLogLevel(c.hierarchy);
        std::unique_ptr<Tellar::LogCapture> capture;
        if (c.appender) capture = std::make_unique<Tellar::LogCapture>(top, Tellar::INHERIT, Additivity::Keep);
        Tellar::Logger logger(top + ".gap.leaf", c.own);  // nothing named top + ".gap" exists
        logger.getLog4cplusLogger().setAdditivity(c.additive);
        EXPECT_EQ(c.enabled, logger.isEnabledFor(c.asked)) << "case " << index;
        logger.log(c.asked, "asked");
        if (capture) {
            EXPECT_EQ(c.enabled ? 1u : 0u, capture->size()) << "case " << index;
        }
    }
}

TEST(TellarEnabling, InheritFollowsTheHierarchyAsItChangesAndRecordsSayWhere) {
    Tellar::LogCapture parent(testLoggerName(), Tellar::INFO);
    Tellar::Logger child(testLoggerName("child"));
    EXPECT_FALSE(child.isEnabledFor(Tellar::DEBUG));
    log4cplus::Logger::getInstance(testLoggerName()).setLogLevel(log4cplus::DEBUG_LOG_LEVEL);
    EXPECT_EQ(Tellar::DEBUG, child.getChainedLogLevel());
    child.log(Tellar::DEBUG, "now visible", "Here.cpp", 12);
    ASSERT_EQ(Lines{"DEBUG now visible"}, lines(parent));
    const Tellar::CapturedRecord record = parent.records()[0];
    EXPECT_EQ(testLoggerName("child") + " Here.cpp:12",
              record.logger + ' ' + record.file + ':' + std::to_string(record.line));
}

TEST(TellarMacros, EachMacroLogsAtItsLevelAndComposesOnlyWhenEnabled) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::TRACE);
    Tellar::Logger logger(testLoggerName(), Tellar::INFO);
    int evaluations = 0;
    TELLAR_DEBUG(logger, "value " << ++evaluations);
    TELLAR_INFO(logger, "value " << ++evaluations << " for call " << "abc@host");
    EXPECT_EQ(Lines{"INFO value 1 for call abc@host"}, lines(capture));

    capture.clear();
    logger.setLogLevel(Tellar::TRACE);
    TELLAR_TRACE(logger, "t");
    TELLAR_DEBUG(logger, "d");
    TELLAR_INFO(logger, "i");
    TELLAR_WARN(logger, "w");
    TELLAR_ERROR(logger, "e");
    TELLAR_LOG(logger, Tellar::WARN, "l");
    EXPECT_EQ((Lines{"TRACE t", "DEBUG d", "INFO i", "WARN w", "ERROR e", "WARN l"}), lines(capture));
}

// ------------------------------------------------------------------ cached logger

namespace {
class Owner : public Tellar::ObjectWithLogger<Tellar::CachedLLLogger> {
public:
    explicit Owner(const Tellar::Logger& logger) : Tellar::ObjectWithLogger<Tellar::CachedLLLogger>(logger) {}
};
}  // namespace

TEST(TellarCachedLogger, LevelIsReadOnceAndCopiesShareIt) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::INFO);
    Tellar::Logger& source = Tellar::getLogger(testLoggerName());
    Owner original(source);
    EXPECT_EQ(Tellar::INFO, original.getLogger().getCachedLogLevel());

    source.getLog4cplusLogger().setLogLevel(log4cplus::ERROR_LOG_LEVEL);
    EXPECT_FALSE(source.isEnabledFor(Tellar::INFO));
    // The call's message logger is held as a Tellar::Logger* and deleted as one.
    std::unique_ptr<Tellar::Logger> copy(new Tellar::CachedLLLogger(Owner(original).getLogger()));
    EXPECT_EQ(Tellar::INFO, copy->getChainedLogLevel());
    TELLAR_INFO(*copy, "still logged");
    EXPECT_EQ(Lines{"INFO still logged"}, lines(capture));
    EXPECT_EQ(Tellar::ERROR, Owner(source).getLogger().getCachedLogLevel());

    original.getLogger().refreshCachedLevel();
    EXPECT_FALSE(original.getLogger().isEnabledFor(Tellar::INFO));
    original.getLogger().setLogLevel(Tellar::DEBUG);
    EXPECT_TRUE(original.getLogger().isEnabledFor(Tellar::DEBUG));
    EXPECT_FALSE(original.getLogger().isEnabledFor(Tellar::TRACE));
}

TEST(TellarCachedLogger, StillNeedsAnAppender) {
    const std::string top = testLoggerName();
    log4cplus::Logger::getInstance(top).setAdditivity(false);
    Tellar::CachedLLLogger cached(Tellar::Logger(top + ".x", Tellar::DEBUG));
    EXPECT_FALSE(cached.isEnabledFor(Tellar::ERROR));
    Tellar::LogCapture capture(top);
    EXPECT_TRUE(cached.isEnabledFor(Tellar::DEBUG));
}

// ------------------------------------------------------------------ trace scope

namespace {
void tracedOperation(const Tellar::Logger& logger, bool fail) {
    TELLAR_TRACE_SCOPE(logger, "NvSipDialog::onTimeOut");
    TELLAR_DEBUG(logger, "inside");
    if (fail) throw std::runtime_error("failed");
}
}  // namespace

TEST(TellarTraceScope, EntryAndExitSurroundTheBodyAndMarkAnException) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::TRACE);
    Tellar::Logger logger(testLoggerName());
    tracedOperation(logger, false);
    EXPECT_THROW(tracedOperation(logger, true), std::runtime_error);
    EXPECT_EQ((Lines{"TRACE ENTER: NvSipDialog::onTimeOut", "DEBUG inside", "TRACE EXIT: NvSipDialog::onTimeOut",
                     "TRACE ENTER: NvSipDialog::onTimeOut", "DEBUG inside",
                     "TRACE EXIT (exception): NvSipDialog::onTimeOut"}),
              lines(capture));
    EXPECT_TRUE(contains(capture.records()[0].file, "TellarTest.cpp"));
}

TEST(TellarTraceScope, DecidedOnceAtEntryAtTheScopesLevel) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::DEBUG);
    Tellar::Logger logger(testLoggerName());
    tracedOperation(logger, false);  // a TRACE scope: only its body is logged
    {
        Tellar::TraceScope atDebug(logger, "TellarTest::pair", Tellar::DEBUG);
        EXPECT_TRUE(atDebug.isActive());
        logger.setLogLevel(Tellar::ERROR);
    }
    {
        Tellar::TraceScope silent(logger, "TellarTest::none", Tellar::DEBUG);
        EXPECT_FALSE(silent.isActive());
        logger.setLogLevel(Tellar::INHERIT);
    }
    EXPECT_EQ((Lines{"DEBUG inside", "DEBUG ENTER: TellarTest::pair", "DEBUG EXIT: TellarTest::pair"}), lines(capture));
}

// ------------------------------------------------------------------ assertion

TEST(TellarAssertion, FailureIsReportedAndCountedAndTheCallerGoesOn) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::WARN);
    Tellar::Logger logger(testLoggerName());
    const unsigned long before = Tellar::Assertion::sFailureCount();
    const int* value = nullptr;
    EXPECT_FALSE(TELLAR_ASSERT_ON(logger, value != nullptr));
    EXPECT_EQ(before + 1, Tellar::Assertion::sFailureCount());
    ASSERT_EQ(1u, capture.size());
    EXPECT_TRUE(contains(lines(capture)[0], "ERROR Assertion failed: value != nullptr (TellarTest.cpp:"));

    int evaluations = 0;
    EXPECT_TRUE(TELLAR_ASSERT_ON(logger, ++evaluations == 1));
    EXPECT_EQ(1, evaluations);  // the condition is evaluated once
    EXPECT_EQ(before + 1, Tellar::Assertion::sFailureCount());
    EXPECT_EQ(1u, capture.size());
}

TEST(TellarAssertion, WithoutALoggerOrWithASilencedOneTheAssertLoggerReports) {
    Tellar::LogCapture assertLog("lumbrook.assert");
    EXPECT_FALSE(Tellar::Assertion(false, "! m_hInResponse.isNil()", nullptr, "/src/mlapi/NvSipDialog.cpp", 77));
    Tellar::LogCapture own(testLoggerName());
    Tellar::Logger silenced(testLoggerName(), static_cast<Tellar::LogLevel>(60000));
    EXPECT_FALSE(TELLAR_ASSERT_ON(silenced, 1 + 1 == 3));
    EXPECT_EQ(0u, own.size());
    ASSERT_EQ(2u, assertLog.size()) << assertLog.dump();
    EXPECT_EQ("ERROR Assertion failed: ! m_hInResponse.isNil() (NvSipDialog.cpp:77)", lines(assertLog)[0]);
    EXPECT_TRUE(contains(lines(assertLog)[1], "ERROR Assertion failed: 1 + 1 == 3 (TellarTest.cpp:"));
}

// ------------------------------------------------------------------ configuration

class TellarConfiguration : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv(Tellar::kConfigEnvironmentVariable);
        Tellar::configureDefault();
        for (const std::string& path : m_Files) std::remove(path.c_str());
    }

    std::string tempPath(const std::string& leaf) {
        m_Files.push_back(::testing::TempDir() + "tellartest_" + std::to_string(getpid()) + "_" + leaf);
        return m_Files.back();
    }

    // A properties file: root at ERROR writing to `logFile`, the test's logger at DEBUG.
    std::string writeProperties(const std::string& logFile) {
        const std::string path = tempPath("log.properties");
        std::ofstream(path) << "log4cplus.rootLogger=ERROR, F\n"
                            << "log4cplus.logger." << testLoggerName() << "=DEBUG\n"
                            << "log4cplus.appender.F=log4cplus::FileAppender\n"
                            << "log4cplus.appender.F.File=" << logFile << "\n"
                            << "log4cplus.appender.F.layout=log4cplus::PatternLayout\n"
                            << "log4cplus.appender.F.layout.ConversionPattern=%p %c %m%n\n";
        return path;
    }

    static std::string readFile(const std::string& path) {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }

    std::vector<std::string> m_Files;
};

TEST_F(TellarConfiguration, PropertiesFileReplacesTheDefaultButNotOwnLevels) {
    Tellar::Logger& ownLevel = Tellar::getLogger(testLoggerName("own"));
    ownLevel.setLogLevel(Tellar::DEBUG);
    Tellar::Logger other("tellartest.unconfigured");
    other.getLog4cplusLogger().setLogLevel(log4cplus::TRACE_LOG_LEVEL);  // a level the file does not keep
    const std::string logFile = tempPath("configured.log");
    ASSERT_TRUE(Tellar::configure(writeProperties(logFile).c_str()));

    EXPECT_FALSE(log4cplus::Logger::getRoot().getAppender(Tellar::kDefaultAppenderName));
    EXPECT_EQ(Tellar::DEBUG, ownLevel.getLogLevel());
    Tellar::Logger configured(testLoggerName());
    EXPECT_FALSE(other.isEnabledFor(Tellar::WARN));
    TELLAR_DEBUG(configured, "into the file");
    TELLAR_WARN(other, "dropped");
    EXPECT_EQ("DEBUG " + testLoggerName() + " into the file\n", readFile(logFile));
}

TEST_F(TellarConfiguration, EnvironmentNamesTheFileElseWarningsGoToStandardError) {
    EXPECT_FALSE(Tellar::configure(nullptr));
    EXPECT_FALSE(Tellar::configure(tempPath("does-not-exist.properties").c_str()));
    EXPECT_TRUE(log4cplus::Logger::getRoot().getAppender(Tellar::kDefaultAppenderName)) << "unreadable: no change";

    const std::string logFile = tempPath("environment.log");
    setenv(Tellar::kConfigEnvironmentVariable, writeProperties(logFile).c_str(), 1);
    EXPECT_TRUE(Tellar::configureDefault());
    Tellar::Logger configured(testLoggerName());
    TELLAR_DEBUG(configured, "through the environment");
    EXPECT_TRUE(contains(readFile(logFile), "through the environment"));

    setenv(Tellar::kConfigEnvironmentVariable, tempPath("missing.properties").c_str(), 1);
    EXPECT_FALSE(Tellar::configureDefault());
    ::testing::internal::CaptureStderr();
    TELLAR_INFO(configured, "an info line");
    TELLAR_WARN(configured, "a warning line");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(contains(err, "an info line")) << err;
    for (const std::string& part : {testLoggerName() + " - a warning line", std::string("WARN"), std::string(".cpp:")})
        EXPECT_TRUE(contains(err, part)) << err;
}

// ------------------------------------------------------------------ capture

TEST(TellarCapture, KeepsTheRecordsAndRestoresTheLogger) {
    log4cplus::Logger target = log4cplus::Logger::getInstance(testLoggerName());
    target.setLogLevel(log4cplus::ERROR_LOG_LEVEL);
    {
        Tellar::LogCapture capture(testLoggerName(), Tellar::INFO);
        EXPECT_FALSE(target.getAdditivity());
        TELLAR_INFO(Tellar::Logger(testLoggerName("child")), "kept");
        EXPECT_EQ(Lines{"INFO kept"}, lines(capture));
    }
    EXPECT_EQ(log4cplus::ERROR_LOG_LEVEL, target.getLogLevel());
    EXPECT_TRUE(target.getAdditivity());
    EXPECT_TRUE(target.getAllAppenders().empty());
}

// ------------------------------------------------------------------ allocation

namespace {
class Probe : public Tellar::TaggedAllocation {
public:
    explicit Probe(int value) : m_Value(value) {}
    int m_Value;
    long double m_Aligned = 0;
};

class CountedObject : public NvObject, public Tellar::TaggedAllocation {};
}  // namespace

TEST(TellarAllocation, CountsGoUpOnCreateAndDownOnWhateverDeletes) {
    const char* tag = "TellarTestProbe";
    const long live = Tellar::liveAllocations(tag);
    const unsigned long total = Tellar::totalAllocations(tag);
    Probe* a = Tellar::NoSizeMemAllocator::create<Probe>(tag, 7);
    Probe* b = Tellar::DefaultStaticMemAllocator::create<Probe>(std::string(tag).c_str(), 8);  // same tag, other text
    EXPECT_EQ(7, a->m_Value);
    EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(a) % alignof(std::max_align_t));
    EXPECT_EQ(live + 2, Tellar::liveAllocations(tag));
    delete a;
    delete b;
    EXPECT_EQ(live, Tellar::liveAllocations(tag));
    EXPECT_EQ(total + 2, Tellar::totalAllocations(tag));
    {
        NvHandle<CountedObject> h(Tellar::NoSizeMemAllocator::create<CountedObject>("TellarTestCounted"));
        EXPECT_EQ(1, Tellar::liveAllocations("TellarTestCounted"));
    }
    EXPECT_EQ(0, Tellar::liveAllocations("TellarTestCounted")) << "the last Release counted it down";
    void* block = Tellar::NoSizeMemAllocator::allocate(100, "TellarTestRaw");
    EXPECT_EQ(1, Tellar::liveAllocations("TellarTestRaw"));
    Tellar::NoSizeMemAllocator::deallocate(block);
    Tellar::NoSizeMemAllocator::deallocate(nullptr);
    EXPECT_EQ(0, Tellar::liveAllocations("TellarTestRaw"));
}

TEST(TellarAllocation, CountsStayExactUnderConcurrency) {
    const char* const tags[] = {"TellarTestRaceOdd", "TellarTestRaceEven"};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &tags, &ready] {
            std::vector<Probe*> held;
            for (++ready; ready.load() < 4;) std::this_thread::yield();  // all start together
            for (int i = 0; i < 20000; ++i) {
                held.push_back(Tellar::NoSizeMemAllocator::create<Probe>(tags[(t + i) % 2], i));
                if (held.size() < 16) continue;
                for (Probe* p : held) delete p;
                held.clear();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const char* tag : tags) {
        EXPECT_EQ(0, Tellar::liveAllocations(tag));
        EXPECT_EQ(40000u, Tellar::totalAllocations(tag));
    }
}
