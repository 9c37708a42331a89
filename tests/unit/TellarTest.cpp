// Tests of the logging facility: the enabling rule, cached loggers, trace
// scopes, assertions, process-wide and file-scope loggers, configuration and
// the tagged allocators.

#include "stack/base/NvHandle.h"
#include "stack/base/NvObject.h"
#include "stack/log/Tellar.h"
#include "stack/log/TellarCapture.h"

#include <ace/Object_Manager.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

// Counts the allocations of the current thread while armed, so that a test can
// prove that a path allocates nothing.
namespace {
thread_local bool t_bCountAllocations = false;
thread_local unsigned long t_Allocations = 0;
}  // namespace

// Not inlined, so that the compiler does not pair malloc and free with new and
// delete at the call sites. Every replaceable form goes to the same malloc and
// free, so that no block is allocated by one allocator and freed by another.
#define NOINL __attribute__((noinline))
NOINL void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (t_bCountAllocations) ++t_Allocations;
    return std::malloc(size ? size : 1);
}
NOINL void* operator new(std::size_t size) {
    if (void* p = operator new(size, std::nothrow)) return p;
    throw std::bad_alloc();
}
NOINL void* operator new[](std::size_t size) { return operator new(size); }
NOINL void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
NOINL void operator delete(void* p) noexcept { std::free(p); }
NOINL void operator delete(void* p, std::size_t) noexcept { std::free(p); }
NOINL void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
NOINL void operator delete[](void* p) noexcept { std::free(p); }
NOINL void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
NOINL void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#undef NOINL

// A file-scope logger of this unit: it must exist before any test runs.
TELLAR_DEFINE_FILE_SCOPE_LOGGER("tellartest.fileScope")

namespace {

// A logger name of its own for each test, so that tests do not share
// log4cplus state.
std::string testLoggerName(const char* suffix = nullptr) {
    std::string name = "tellartest.";
    name += ::testing::UnitTest::GetInstance()->current_test_info()->name();
    return suffix ? name + '.' + suffix : name;
}

std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

std::string tempPath(const char* leaf) {
    return ::testing::TempDir() + "tellartest_" + std::to_string(getpid()) + "_" + leaf;
}

// A logger whose ancestor `top` stops additivity and has no appender.
std::string isolatedTop() {
    const std::string top = testLoggerName();
    log4cplus::Logger::getInstance(top).setAdditivity(false);
    return top;
}

void setHierarchyLevel(log4cplus::LogLevel level) { log4cplus::Logger::getInstance(testLoggerName()).setLogLevel(level); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

// ------------------------------------------------------------------ loading

// Runs first in this file: nothing has asked for these loggers yet.
TEST(TellarLoading, LoggersExistAsSoonAsTheLibraryIsLoaded) {
    EXPECT_NE(nullptr, Tellar::findLogger("tellartest.fileScope"));
    EXPECT_NE(nullptr, Tellar::findLogger("lumbrook.sip.message.stray"));
    EXPECT_NE(nullptr, Tellar::findLogger("lumbrook.sip.interop.ua"));
    EXPECT_EQ(nullptr, Tellar::findLogger("tellartest.neverAskedFor"));
    EXPECT_EQ(&Tellar::getLogger("tellartest.fileScope"), &Tellar::fileScopeLogger());
    EXPECT_EQ(&Tellar::getLogger("lumbrook.sip.message.stray"), &Tellar::strayMsgLogger());
    EXPECT_EQ("lumbrook.sip.interop.ua", Tellar::Sip::getUAInteropLogger().getName());
    EXPECT_EQ(Tellar::INHERIT, Tellar::strayMsgLogger().getLogLevel());
}

TEST(TellarLoading, ConcurrentFirstUseMakesOneLogger) {
    const std::string name = testLoggerName();
    std::vector<Tellar::Logger*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&, i] { seen[i] = &Tellar::getLogger(name); });
    for (std::thread& t : threads) t.join();
    for (Tellar::Logger* logger : seen) EXPECT_EQ(seen[0], logger);
    EXPECT_EQ(seen[0], Tellar::findLogger(name));
}

TEST(TellarLoading, AceReleasesTheLoggersAtExit) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // ACE runs the exit hooks in reverse order: a hook registered before the
    // logger is made runs after the logger's release.
    EXPECT_EXIT(
        {
            ACE_Object_Manager::at_exit(
                nullptr,
                [](void*, void*) {
                    std::fprintf(stderr, "released=%d\n", Tellar::findLogger("tellartest.atExit") == nullptr);
                },
                nullptr, "TellarTest");
            Tellar::getLogger("tellartest.atExit");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "released=1");
}

// ------------------------------------------------------------------ enabling rule

TEST(TellarEnabling, LevelValuesAreLog4cplusValues) {
    EXPECT_EQ(log4cplus::TRACE_LOG_LEVEL, Tellar::TRACE);
    EXPECT_EQ(log4cplus::DEBUG_LOG_LEVEL, Tellar::DEBUG);
    EXPECT_EQ(log4cplus::INFO_LOG_LEVEL, Tellar::INFO);
    EXPECT_EQ(log4cplus::WARN_LOG_LEVEL, Tellar::WARN);
    EXPECT_EQ(log4cplus::ERROR_LOG_LEVEL, Tellar::ERROR);
    EXPECT_EQ(log4cplus::NOT_SET_LOG_LEVEL, Tellar::INHERIT);
    // The default configuration enables WARN for every logger.
    Tellar::Logger logger(testLoggerName());
    EXPECT_TRUE(logger.isEnabledFor(Tellar::WARN));
    EXPECT_FALSE(logger.isEnabledFor(Tellar::INFO));
}

TEST(TellarEnabling, OwnLevelOverridesTheHierarchyBothWays) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::ERROR);
    Tellar::Logger logger(testLoggerName(), Tellar::DEBUG);

    EXPECT_EQ(Tellar::DEBUG, logger.getChainedLogLevel());
    EXPECT_FALSE(logger.isEnabledFor(Tellar::TRACE));
    logger.log(Tellar::DEBUG, "below the hierarchy's level", "Here.cpp", 12);
    ASSERT_EQ(1u, capture.count(Tellar::DEBUG, "below the hierarchy's level")) << capture.dump();
    EXPECT_EQ(testLoggerName(), capture.records()[0].logger);
    EXPECT_EQ("Here.cpp", capture.records()[0].file);
    EXPECT_EQ(12, capture.records()[0].line);

    // Now the hierarchy lets everything through and the own level says no.
    logger.getLog4cplusLogger().setLogLevel(log4cplus::TRACE_LOG_LEVEL);
    logger.setLogLevel(Tellar::ERROR);
    EXPECT_FALSE(logger.isEnabledFor(Tellar::WARN));
    logger.log(Tellar::WARN, "above the hierarchy's level");
    EXPECT_EQ(1u, capture.size()) << capture.dump();
}

TEST(TellarEnabling, InheritFollowsTheHierarchyAsItChanges) {
    Tellar::LogCapture parent(testLoggerName(), Tellar::INFO);
    Tellar::Logger child(testLoggerName("child"));

    EXPECT_EQ(Tellar::INHERIT, child.getLogLevel());
    EXPECT_EQ(Tellar::INFO, child.getChainedLogLevel());
    EXPECT_FALSE(child.isEnabledFor(Tellar::DEBUG));

    setHierarchyLevel(log4cplus::DEBUG_LOG_LEVEL);
    child.log(Tellar::DEBUG, "now visible");
    ASSERT_EQ(1u, parent.count(Tellar::DEBUG, "now visible")) << parent.dump();
    EXPECT_EQ(testLoggerName("child"), parent.records()[0].logger);
}

TEST(TellarEnabling, WithoutAnAppenderNothingIsEnabled) {
    // The level alone would pass, but nothing would be written anywhere.
    const std::string top = isolatedTop();
    // Nothing named top + ".gap" exists; the nearest ancestor is `top`.
    Tellar::Logger logger(top + ".gap.leaf", Tellar::TRACE);
    EXPECT_FALSE(logger.hasAppenders());
    EXPECT_FALSE(logger.isEnabledFor(Tellar::ERROR));
    {
        Tellar::LogCapture capture(top, Tellar::INHERIT, Tellar::LogCapture::Additivity::Keep);
        EXPECT_TRUE(logger.isEnabledFor(Tellar::TRACE));
        // Additivity off below the appender stops the search.
        Tellar::Logger child(top + ".gap.leaf.child");
        child.getLog4cplusLogger().setAdditivity(false);
        EXPECT_FALSE(child.hasAppenders());
        EXPECT_FALSE(child.isEnabledFor(Tellar::ERROR));
    }
    EXPECT_FALSE(logger.isEnabledFor(Tellar::ERROR));
}


// ------------------------------------------------------------------ macros

namespace {
int s_Evaluations = 0;
int evaluated() { return ++s_Evaluations, 42; }
}  // namespace

TEST(TellarMacros, TextIsComposedOnlyWhenEnabled) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::INFO);
    Tellar::Logger logger(testLoggerName());
    s_Evaluations = 0;

    TELLAR_DEBUG(logger, "value " << evaluated());
    EXPECT_EQ(0, s_Evaluations);
    EXPECT_EQ(0u, capture.size());

    const int line = __LINE__ + 1;
    TELLAR_INFO(logger, "value " << evaluated() << " for call " << "abc@host");
    EXPECT_EQ(1, s_Evaluations);
    const std::vector<Tellar::CapturedRecord> records = capture.records();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("value 42 for call abc@host", records[0].text);
    EXPECT_TRUE(contains(records[0].file, "TellarTest.cpp"));
    EXPECT_EQ(line, records[0].line);
}

TEST(TellarMacros, EachLevelMacroUsesItsLevel) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::TRACE);
    Tellar::Logger logger(testLoggerName());
    TELLAR_TRACE(logger, "t");
    TELLAR_DEBUG(logger, "d");
    TELLAR_INFO(logger, "i");
    TELLAR_WARN(logger, "w");
    TELLAR_ERROR(logger, "e");
    TELLAR_LOG(logger, Tellar::WARN, "l");
    const std::pair<Tellar::LogLevel, const char*> expected[] = {{Tellar::TRACE, "t"}, {Tellar::DEBUG, "d"},
                                                                 {Tellar::INFO, "i"},  {Tellar::WARN, "w"},
                                                                 {Tellar::ERROR, "e"}, {Tellar::WARN, "l"}};
    for (const auto& e : expected) EXPECT_EQ(1u, capture.count(e.first, e.second)) << e.second;
}

TEST(TellarMacros, DisabledPathsAllocateNothing) {
    Tellar::Logger logger(testLoggerName());  // default configuration: WARN
    Tellar::Logger own(testLoggerName("own"), Tellar::ERROR);
    Tellar::CachedLLLogger cached(logger);
    t_Allocations = 0;
    t_bCountAllocations = true;
    for (int i = 0; i < 100; ++i) {
        TELLAR_TRACE_SCOPE(logger, "TellarTest::disabled");
        Tellar::TraceScope scope(own, "TellarTest::own", Tellar::WARN);
        Tellar::TraceScope cachedScope(cached, "TellarTest::cached", Tellar::DEBUG);
        TELLAR_DEBUG(logger, "not composed " << i);
        TELLAR_INFO(cached, "not composed " << i);
        TELLAR_ASSERT(i >= 0);
    }
    t_bCountAllocations = false;
    EXPECT_EQ(0u, t_Allocations);
}

// ------------------------------------------------------------------ cached logger

TEST(TellarCachedLogger, LevelIsReadOnceAtConstruction) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::INFO);
    Tellar::Logger source(testLoggerName());
    Tellar::CachedLLLogger cached(source);
    EXPECT_EQ(Tellar::INFO, cached.getCachedLogLevel());

    source.getLog4cplusLogger().setLogLevel(log4cplus::ERROR_LOG_LEVEL);
    EXPECT_FALSE(source.isEnabledFor(Tellar::INFO));
    EXPECT_EQ(Tellar::INFO, cached.getChainedLogLevel());
    TELLAR_INFO(cached, "still logged");
    EXPECT_EQ(1u, capture.count(Tellar::INFO, "still logged")) << capture.dump();

    cached.refreshCachedLevel();
    EXPECT_FALSE(cached.isEnabledFor(Tellar::INFO));
}

TEST(TellarCachedLogger, CacheTakesTheSourcesOwnLevelAndStillNeedsAnAppender) {
    const std::string top = isolatedTop();
    Tellar::Logger source(top + ".x", Tellar::DEBUG);
    Tellar::CachedLLLogger cached(source);
    EXPECT_EQ(Tellar::DEBUG, cached.getCachedLogLevel());
    EXPECT_FALSE(cached.isEnabledFor(Tellar::ERROR));  // no appender anywhere

    Tellar::LogCapture capture(top);
    EXPECT_TRUE(cached.isEnabledFor(Tellar::DEBUG));
    EXPECT_FALSE(cached.isEnabledFor(Tellar::TRACE));
    cached.setLogLevel(Tellar::TRACE);
    EXPECT_TRUE(cached.isEnabledFor(Tellar::TRACE));
}

namespace {
class Owner : public Tellar::ObjectWithLogger<Tellar::CachedLLLogger> {
public:
    explicit Owner(const Tellar::Logger& logger) : Tellar::ObjectWithLogger<Tellar::CachedLLLogger>(logger) {}
};
}  // namespace

TEST(TellarCachedLogger, ObjectCopiesShareTheCachedLevel) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::DEBUG);
    Owner original(Tellar::getLogger(testLoggerName()));
    setHierarchyLevel(log4cplus::ERROR_LOG_LEVEL);

    // The call's message logger is held as a Tellar::Logger* and deleted as one.
    Tellar::Logger* copy = new Tellar::CachedLLLogger(Owner(original).getLogger());
    EXPECT_EQ(testLoggerName(), copy->getName());
    EXPECT_TRUE(copy->isEnabledFor(Tellar::DEBUG));
    delete copy;
    EXPECT_EQ(Tellar::ERROR, Owner(Tellar::getLogger(testLoggerName())).getLogger().getCachedLogLevel());
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
    std::vector<Tellar::CapturedRecord> records = capture.records();
    ASSERT_EQ(3u, records.size()) << capture.dump();
    EXPECT_EQ(1u, capture.count(Tellar::TRACE, "ENTER: NvSipDialog::onTimeOut"));
    EXPECT_EQ("inside", records[1].text);
    EXPECT_EQ(Tellar::TRACE, records[2].level);
    EXPECT_EQ("EXIT: NvSipDialog::onTimeOut", records[2].text);
    EXPECT_TRUE(contains(records[0].file, "TellarTest.cpp"));

    capture.clear();
    EXPECT_THROW(tracedOperation(logger, true), std::runtime_error);
    records = capture.records();
    ASSERT_EQ(3u, records.size()) << capture.dump();
    EXPECT_EQ("EXIT (exception): NvSipDialog::onTimeOut", records[2].text);
}

TEST(TellarTraceScope, SilentWhenTheLevelIsOff) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::DEBUG);
    Tellar::Logger logger(testLoggerName());
    tracedOperation(logger, false);
    EXPECT_EQ(0u, capture.count(Tellar::TRACE)) << capture.dump();
    EXPECT_EQ(1u, capture.size());

    Tellar::TraceScope atDebug(logger, "NvSipDialog::debugScope", Tellar::DEBUG);
    EXPECT_TRUE(atDebug.isActive());
    EXPECT_EQ(1u, capture.count(Tellar::DEBUG, "ENTER: NvSipDialog::debugScope"));
}

TEST(TellarTraceScope, ExitIsWrittenWhenEntryWasEvenIfTheLevelChanged) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::TRACE);
    Tellar::Logger logger(testLoggerName());
    {
        Tellar::TraceScope scope(logger, "TellarTest::pair");
        logger.setLogLevel(Tellar::ERROR);
    }
    {
        Tellar::TraceScope scope(logger, "TellarTest::none");
        logger.setLogLevel(Tellar::INHERIT);
    }
    EXPECT_EQ(1u, capture.count(Tellar::TRACE, "ENTER: TellarTest::pair"));
    EXPECT_EQ(1u, capture.count(Tellar::TRACE, "EXIT: TellarTest::pair"));
    EXPECT_EQ(2u, capture.size()) << capture.dump();
}

// ------------------------------------------------------------------ assertion

namespace {
// Shaped like the callers: report, then return on the path the operation gives.
bool guardedOperation(const Tellar::Logger& logger, const int* value, bool& reachedEnd) {
    reachedEnd = false;
    if (!TELLAR_ASSERT_ON(logger, value != nullptr)) return false;
    reachedEnd = true;
    return true;
}
}  // namespace

TEST(TellarAssertion, FailureIsReportedAndTheCallerGoesOn) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::WARN);
    Tellar::Logger logger(testLoggerName());
    const unsigned long before = Tellar::Assertion::sFailureCount();

    bool reachedEnd = true;
    EXPECT_FALSE(guardedOperation(logger, nullptr, reachedEnd));
    EXPECT_FALSE(reachedEnd);
    EXPECT_EQ(before + 1, Tellar::Assertion::sFailureCount());
    const std::vector<Tellar::CapturedRecord> records = capture.records();
    ASSERT_EQ(1u, records.size()) << capture.dump();
    EXPECT_EQ(Tellar::ERROR, records[0].level);
    EXPECT_TRUE(records[0].startsWith("Assertion failed: value != nullptr (TellarTest.cpp:")) << records[0].text;

    const int value = 3;
    EXPECT_TRUE(guardedOperation(logger, &value, reachedEnd));
    EXPECT_TRUE(reachedEnd);
    EXPECT_EQ(before + 1, Tellar::Assertion::sFailureCount());
    EXPECT_EQ(1u, capture.size());

    int evaluations = 0;
    EXPECT_TRUE(TELLAR_ASSERT(++evaluations == 1));
    EXPECT_EQ(1, evaluations);  // the condition is evaluated once
}

TEST(TellarAssertion, WithoutALoggerOrWithASilencedOneTheAssertLoggerReports) {
    Tellar::LogCapture assertLog("lumbrook.assert");
    const unsigned long before = Tellar::Assertion::sFailureCount();
    Tellar::Assertion failed(false, "! m_hInResponse.isNil()", nullptr, "/src/mlapi/NvSipDialog.cpp", 77);
    EXPECT_FALSE(failed);
    EXPECT_EQ(before + 1, Tellar::Assertion::sFailureCount());
    EXPECT_EQ(1u, assertLog.count(Tellar::ERROR, "Assertion failed: ! m_hInResponse.isNil() (NvSipDialog.cpp:77)"))
        << assertLog.dump();

    Tellar::LogCapture own(testLoggerName());
    Tellar::Logger silenced(testLoggerName(), static_cast<Tellar::LogLevel>(60000));
    EXPECT_FALSE(TELLAR_ASSERT_ON(silenced, 1 + 1 == 3));
    EXPECT_EQ(0u, own.size());
    EXPECT_EQ(1u, assertLog.count(Tellar::ERROR, "Assertion failed: 1 + 1 == 3")) << assertLog.dump();
}

// ------------------------------------------------------------------ configuration

class TellarConfiguration : public ::testing::Test {
protected:
    void TearDown() override {
        unsetenv(Tellar::kConfigEnvironmentVariable);
        Tellar::configureDefault();
        for (const std::string& path : m_Files) std::remove(path.c_str());
    }

    // A properties file: root at ERROR writing to a file, `logger` at DEBUG.
    std::string writeProperties(const std::string& logger, const std::string& logFile) {
        const std::string path = tempPath("log.properties");
        std::ofstream(path) << "log4cplus.rootLogger=ERROR, F\n"
                            << "log4cplus.logger." << logger << "=DEBUG\n"
                            << "log4cplus.appender.F=log4cplus::FileAppender\n"
                            << "log4cplus.appender.F.File=" << logFile << "\n"
                            << "log4cplus.appender.F.layout=log4cplus::PatternLayout\n"
                            << "log4cplus.appender.F.layout.ConversionPattern=%p %c %m%n\n";
        m_Files.insert(m_Files.end(), {path, logFile});
        return path;
    }

    static bool hasDefaultAppender() {
        return static_cast<bool>(log4cplus::Logger::getRoot().getAppender(Tellar::kDefaultAppenderName));
    }

    std::vector<std::string> m_Files;
};

TEST_F(TellarConfiguration, DefaultWritesWarningsToStandardError) {
    ASSERT_FALSE(Tellar::configureDefault());

    Tellar::Logger logger(testLoggerName());
    ::testing::internal::CaptureStderr();
    TELLAR_INFO(logger, "an info line");
    TELLAR_WARN(logger, "a warning line");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(contains(err, "an info line")) << err;
    for (const std::string& part : {std::string("WARN"), testLoggerName() + " - a warning line", std::string("TellarTest.cpp:")})
        EXPECT_TRUE(contains(err, part)) << err;
}

TEST_F(TellarConfiguration, PropertiesFileReplacesTheDefault) {
    const std::string logFile = tempPath("configured.log");
    ASSERT_TRUE(Tellar::configure(writeProperties(testLoggerName(), logFile).c_str()));

    EXPECT_FALSE(hasDefaultAppender());
    Tellar::Logger configured(testLoggerName());
    Tellar::Logger other("tellartest.unconfigured");
    EXPECT_FALSE(other.isEnabledFor(Tellar::WARN));
    TELLAR_DEBUG(configured, "into the file");
    TELLAR_WARN(other, "dropped");
    const std::string written = readFile(logFile);
    EXPECT_TRUE(contains(written, "DEBUG " + testLoggerName() + " into the file")) << written;
    EXPECT_FALSE(contains(written, "dropped")) << written;
}

TEST_F(TellarConfiguration, EnvironmentNamesTheDefaultFileAndAnUnreadableOneChangesNothing) {
    EXPECT_FALSE(Tellar::configure(nullptr));
    EXPECT_FALSE(Tellar::configure(tempPath("does-not-exist.properties").c_str()));
    EXPECT_TRUE(hasDefaultAppender());

    const std::string logFile = tempPath("environment.log");
    setenv(Tellar::kConfigEnvironmentVariable, writeProperties(testLoggerName(), logFile).c_str(), 1);
    EXPECT_TRUE(Tellar::configureDefault());
    Tellar::Logger configured(testLoggerName());
    TELLAR_DEBUG(configured, "through the environment");
    EXPECT_TRUE(contains(readFile(logFile), "through the environment"));

    setenv(Tellar::kConfigEnvironmentVariable, tempPath("missing.properties").c_str(), 1);
    EXPECT_FALSE(Tellar::configureDefault());
    EXPECT_TRUE(hasDefaultAppender());
    EXPECT_EQ(log4cplus::WARN_LOG_LEVEL, log4cplus::Logger::getRoot().getLogLevel());
}

TEST_F(TellarConfiguration, OwnLevelsSurviveReconfiguration) {
    Tellar::Logger& logger = Tellar::getLogger(testLoggerName());
    logger.setLogLevel(Tellar::DEBUG);
    ASSERT_TRUE(Tellar::configure(writeProperties("unrelated", tempPath("reconfigured.log")).c_str()));
    EXPECT_EQ(Tellar::DEBUG, logger.getLogLevel());
    EXPECT_TRUE(logger.isEnabledFor(Tellar::DEBUG));
}

// ------------------------------------------------------------------ capture

TEST(TellarCapture, RestoresLevelAndAdditivity) {
    log4cplus::Logger target = log4cplus::Logger::getInstance(testLoggerName());
    target.setLogLevel(log4cplus::ERROR_LOG_LEVEL);
    {
        Tellar::LogCapture capture(testLoggerName(), Tellar::TRACE);
        EXPECT_EQ(log4cplus::TRACE_LOG_LEVEL, target.getLogLevel());
        EXPECT_FALSE(target.getAdditivity());
        EXPECT_EQ(1u, target.getAllAppenders().size());
    }
    EXPECT_EQ(log4cplus::ERROR_LOG_LEVEL, target.getLogLevel());
    EXPECT_TRUE(target.getAdditivity());
    EXPECT_TRUE(target.getAllAppenders().empty());
}

TEST(TellarCapture, KeepsEveryRecordFromManyThreads) {
    Tellar::LogCapture capture(testLoggerName(), Tellar::INFO);
    Tellar::Logger logger(testLoggerName());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < 500; ++i) TELLAR_INFO(logger, "thread " << t << " line " << i);
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(2000u, capture.count(Tellar::INFO, "thread "));
    EXPECT_EQ(500u, capture.count(Tellar::INFO, "thread 3 line"));
    capture.clear();
    EXPECT_EQ(0u, capture.size());
}

// ------------------------------------------------------------------ allocation

namespace {
class Probe : public Tellar::TaggedAllocation {
public:
    explicit Probe(int value, bool fail = false) : m_Value(value) {
        if (fail) throw std::runtime_error("constructor failed");
    }
    int m_Value;
    long double m_Aligned = 0;
};

class CountedObject : public NvObject, public Tellar::TaggedAllocation {
public:
    explicit CountedObject(int* destroyed) : m_pDestroyed(destroyed) {}
    ~CountedObject() override { ++*m_pDestroyed; }

private:
    int* m_pDestroyed;
};
}  // namespace

TEST(TellarAllocation, CountsGoUpOnCreateAndDownOnDelete) {
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
    EXPECT_EQ(0, Tellar::liveAllocations("TellarTestNeverUsed"));

    void* block = Tellar::NoSizeMemAllocator::allocate(100, "TellarTestRaw");
    std::memset(block, 0xab, 100);
    EXPECT_EQ(1, Tellar::liveAllocations("TellarTestRaw"));
    Tellar::NoSizeMemAllocator::deallocate(block);
    EXPECT_EQ(0, Tellar::liveAllocations("TellarTestRaw"));
    Tellar::NoSizeMemAllocator::deallocate(nullptr);
}

TEST(TellarAllocation, ReferenceCountedObjectsAreCountedDownByTheirLastRelease) {
    int destroyed = 0;
    {
        NvHandle<CountedObject> h(Tellar::NoSizeMemAllocator::create<CountedObject>("TellarTestCounted", &destroyed));
        NvHandle<NvObject> other(h);
        EXPECT_EQ(1, Tellar::liveAllocations("TellarTestCounted"));
    }
    EXPECT_EQ(1, destroyed);
    EXPECT_EQ(0, Tellar::liveAllocations("TellarTestCounted"));
}

TEST(TellarAllocation, FailedConstructionLeavesNoCountAndPlainNewIsNotCounted) {
    EXPECT_THROW(Tellar::NoSizeMemAllocator::create<Probe>("TellarTestFailing", 1, true), std::runtime_error);
    EXPECT_EQ(0, Tellar::liveAllocations("TellarTestFailing"));
    EXPECT_EQ(1u, Tellar::totalAllocations("TellarTestFailing"));

    const std::vector<Tellar::AllocationCount> before = Tellar::allocationCounts();
    delete new Probe(1);
    alignas(Probe) unsigned char buffer[sizeof(Probe)];
    (new (buffer) Probe(2))->~Probe();
    const std::vector<Tellar::AllocationCount> after = Tellar::allocationCounts();
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < before.size(); ++i) EXPECT_EQ(before[i].total, after[i].total) << after[i].tag;
}

TEST(TellarAllocation, CountsStayExactUnderConcurrency) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            const char* tag = t % 2 ? "TellarTestRaceOdd" : "TellarTestRaceEven";
            std::vector<Probe*> held;
            for (int i = 0; i < 5000; ++i) {
                held.push_back(Tellar::NoSizeMemAllocator::create<Probe>(tag, i));
                if (held.size() == 16 || i == 4999) {
                    for (Probe* p : held) delete p;
                    held.clear();
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const char* tag : {"TellarTestRaceOdd", "TellarTestRaceEven"}) {
        EXPECT_EQ(0, Tellar::liveAllocations(tag));
        EXPECT_EQ(10000u, Tellar::totalAllocations(tag));
    }
}

TEST(TellarAllocation, ATableFullOfTagsStillCounts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // In a child process: filling the table would starve the other tests.
    EXPECT_EXIT(
        {
            std::vector<Probe*> held;
            for (int i = 0; i < 300; ++i) {
                held.push_back(Tellar::NoSizeMemAllocator::create<Probe>(("TellarTestTag" + std::to_string(i)).c_str(), i));
            }
            const bool firstCounted = Tellar::liveAllocations("TellarTestTag0") == 1;
            const bool overflowCounted = Tellar::liveAllocations("(other)") >= 300 - 256;
            for (Probe* p : held) delete p;
            const bool allReleased = Tellar::liveAllocations("(other)") == 0;
            std::exit(firstCounted && overflowCounted && allReleased ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
