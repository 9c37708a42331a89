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
#include <sstream>
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

class Owner : public Tellar::ObjectWithLogger<Tellar::CachedLLLogger> {
public:
    explicit Owner(const Tellar::Logger& logger) : Tellar::ObjectWithLogger<Tellar::CachedLLLogger>(logger) {}
};

void tracedOperation(const Tellar::Logger& logger, bool fail) {
    TELLAR_TRACE_SCOPE(logger, "NvSipDialog::onTimeOut");
    TELLAR_DEBUG(logger, "inside");
    if (fail) throw std::runtime_error("failed");
}

class Probe : public Tellar::TaggedAllocation {
public:
    explicit Probe(int value) : m_Value(value) {}
    int m_Value;
    long double m_Aligned = 0;
};
class CountedObject : public NvObject, public Tellar::TaggedAllocation {};

}  // namespace

// Runs first in this file: nothing has asked for these loggers yet.
TEST(TellarLoading, LoggersExistAsSoonAsTheLibraryIsLoaded) {
    for (const char* name : {"tellartest.fileScope", "lumbrook.sip.message.stray", "lumbrook.sip.interop.ua"})
        EXPECT_NE(nullptr, Tellar::findLogger(name)) << name;
    EXPECT_EQ(nullptr, Tellar::findLogger("tellartest.neverAskedFor"));
    EXPECT_EQ(&Tellar::getLogger("tellartest.fileScope"), &Tellar::fileScopeLogger());
    EXPECT_EQ(&Tellar::getLogger("lumbrook.sip.message.stray"), &Tellar::strayMsgLogger());
    EXPECT_EQ(&Tellar::getLogger("lumbrook.sip.interop.ua"), &Tellar::Sip::getUAInteropLogger());
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
        std::unique_ptr<Tellar::LogCapture> capture;
        if (appender)
            capture = std::make_unique<Tellar::LogCapture>(top, Tellar::INHERIT, Tellar::LogCapture::Additivity::Keep);
        Tellar::Logger logger(top + ".gap.leaf", own);  // nothing named top + ".gap" exists
        logger.getLog4cplusLogger().setAdditivity(additive);
        EXPECT_EQ(enabled, logger.isEnabledFor(asked)) << "case " << index;
        EXPECT_EQ(enabled, Tellar::CachedLLLogger(logger).isEnabledFor(asked)) << "case " << index;
        logger.log(asked, "asked");
        if (capture) {
            EXPECT_EQ(enabled ? 1u : 0u, capture->size()) << "case " << index;
        }
    }
}

TEST(TellarEnabling, InheritFollowsTheHierarchyRecordsSayWhereAndMacrosComposeOnlyWhenEnabled) {
    Tellar::LogCapture parent(testLoggerName(), Tellar::INFO);
    Tellar::Logger child(testLoggerName("child"));
    int evaluations = 0;
    TELLAR_DEBUG(child, "value " << ++evaluations);
    TELLAR_INFO(child, "value " << ++evaluations << " for call " << "abc@host");
    log4cplus::Logger::getInstance(testLoggerName()).setLogLevel(log4cplus::TRACE_LOG_LEVEL);
    EXPECT_EQ(Tellar::TRACE, child.getChainedLogLevel());
    child.log(Tellar::DEBUG, "now visible", "Here.cpp", 12);
    const Tellar::CapturedRecord record = parent.records().back();
    EXPECT_EQ(testLoggerName("child") + " Here.cpp:12",
              record.logger + ' ' + record.file + ':' + std::to_string(record.line));
    TELLAR_TRACE(child, "t");
    TELLAR_WARN(child, "w");
    TELLAR_ERROR(child, "e");
    TELLAR_LOG(child, Tellar::WARN, "l");
    EXPECT_EQ((Lines{"INFO value 1 for call abc@host", "DEBUG now visible", "TRACE t", "WARN w", "ERROR e", "WARN l"}),
              lines(parent));
}

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
    EXPECT_TRUE(original.getLogger().isEnabledFor(Tellar::DEBUG) && !original.getLogger().isEnabledFor(Tellar::TRACE));
}

// Entry and exit surround the body and mark an exception; whether to write them is decided once, at entry.
TEST(TellarTraceScope, EntryAndExitSurroundTheBodyAtTheScopesLevelDecidedOnceAtEntry) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::TRACE);
    Tellar::Logger logger(testLoggerName());
    tracedOperation(logger, false);
    EXPECT_THROW(tracedOperation(logger, true), std::runtime_error);
    EXPECT_TRUE(mentions(capture.records()[0].file, "TellarTest.cpp"));
    logger.setLogLevel(Tellar::DEBUG);
    tracedOperation(logger, false);  // a TRACE scope: only its body is logged
    {
        Tellar::TraceScope atDebug(logger, "TellarTest::pair", Tellar::DEBUG);
        EXPECT_TRUE(atDebug.isActive());
        logger.setLogLevel(Tellar::ERROR);
    }
    {
        Tellar::TraceScope silent(logger, "TellarTest::none", Tellar::DEBUG);
        EXPECT_FALSE(silent.isActive());
        logger.setLogLevel(Tellar::DEBUG);
    }
    EXPECT_EQ((Lines{"TRACE ENTER: NvSipDialog::onTimeOut", "DEBUG inside", "TRACE EXIT: NvSipDialog::onTimeOut",
                     "TRACE ENTER: NvSipDialog::onTimeOut", "DEBUG inside",
                     "TRACE EXIT (exception): NvSipDialog::onTimeOut", "DEBUG inside", "DEBUG ENTER: TellarTest::pair",
                     "DEBUG EXIT: TellarTest::pair"}),
              lines(capture));
}

// A failure is reported (to the assert logger when there is no logger or it is silenced) and counted; the
// condition is evaluated once and the caller goes on.
TEST(TellarAssertion, FailureIsReportedAndCountedAndTheCallerGoesOn) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::WARN), assertLog("lumbrook.assert");
    Tellar::Logger logger(testLoggerName());
    const unsigned long before = Tellar::Assertion::sFailureCount();
    const int* value = nullptr;
    EXPECT_FALSE(TELLAR_ASSERT_ON(logger, value != nullptr));
    int evaluations = 0;
    EXPECT_TRUE(TELLAR_ASSERT_ON(logger, ++evaluations == 1));
    EXPECT_EQ(1, evaluations);
    EXPECT_EQ(before + 1, Tellar::Assertion::sFailureCount());
    ASSERT_EQ(1u, capture.size());
    EXPECT_TRUE(mentions(lines(capture)[0], "ERROR Assertion failed: value != nullptr (TellarTest.cpp:"));

    EXPECT_FALSE(Tellar::Assertion(false, "! m_hInResponse.isNil()", nullptr, "/src/mlapi/NvSipDialog.cpp", 77));
    Tellar::Logger silenced(testLoggerName("silenced"), static_cast<Tellar::LogLevel>(60000));
    EXPECT_FALSE(TELLAR_ASSERT_ON(silenced, 1 + 1 == 3));
    EXPECT_EQ(1u, capture.size());
    ASSERT_EQ(2u, assertLog.size()) << assertLog.dump();
    EXPECT_EQ("ERROR Assertion failed: ! m_hInResponse.isNil() (NvSipDialog.cpp:77)", lines(assertLog)[0]);
    EXPECT_TRUE(mentions(lines(assertLog)[1], "ERROR Assertion failed: 1 + 1 == 3 (TellarTest.cpp:"));
}

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
        std::ofstream(path) << "log4cplus.rootLogger=ERROR, F\nlog4cplus.logger." << testLoggerName() << "=DEBUG\n"
                            << "log4cplus.appender.F=log4cplus::FileAppender\nlog4cplus.appender.F.File=" << logFile
                            << "\nlog4cplus.appender.F.layout=log4cplus::PatternLayout\n"
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
    EXPECT_FALSE(other.isEnabledFor(Tellar::WARN));
    TELLAR_DEBUG(Tellar::Logger(testLoggerName()), "into the file");
    EXPECT_EQ("DEBUG " + testLoggerName() + " into the file\n", readFile(logFile));
}

TEST_F(TellarConfiguration, EnvironmentNamesTheFileElseWarningsGoToStandardError) {
    EXPECT_FALSE(Tellar::configure(nullptr) || Tellar::configure(tempPath("does-not-exist.properties").c_str()));
    EXPECT_TRUE(log4cplus::Logger::getRoot().getAppender(Tellar::kDefaultAppenderName)) << "unreadable: no change";
    const std::string logFile = tempPath("environment.log");
    setenv(Tellar::kConfigEnvironmentVariable, writeProperties(logFile).c_str(), 1);
    EXPECT_TRUE(Tellar::configureDefault());
    Tellar::Logger configured(testLoggerName());
    TELLAR_DEBUG(configured, "through the environment");
    EXPECT_EQ("DEBUG " + testLoggerName() + " through the environment\n", readFile(logFile));

    setenv(Tellar::kConfigEnvironmentVariable, tempPath("missing.properties").c_str(), 1);
    EXPECT_FALSE(Tellar::configureDefault());
    ::testing::internal::CaptureStderr();
    TELLAR_INFO(configured, "an info line");
    TELLAR_WARN(configured, "a warning line");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(mentions(err, "an info line")) << err;
    for (const std::string& part : {testLoggerName() + " - a warning line", std::string("WARN"), std::string(".cpp:")})
        EXPECT_TRUE(mentions(err, part)) << err;
}

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
    EXPECT_TRUE(target.getAdditivity() && target.getAllAppenders().empty());
}

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
    NvHandle<CountedObject>(Tellar::NoSizeMemAllocator::create<CountedObject>("TellarTestCounted"));
    EXPECT_EQ(0, Tellar::liveAllocations("TellarTestCounted")) << "the last Release counted it down";
    EXPECT_EQ(1u, Tellar::totalAllocations("TellarTestCounted"));
    void* block = Tellar::NoSizeMemAllocator::allocate(100, "TellarTestRaw");
    EXPECT_EQ(1, Tellar::liveAllocations("TellarTestRaw"));
    Tellar::NoSizeMemAllocator::deallocate(block);
    Tellar::NoSizeMemAllocator::deallocate(nullptr);
    EXPECT_EQ(0, Tellar::liveAllocations("TellarTestRaw"));
}
