#include "stack/log/TellarConfig.h"

#include <log4cplus/configurator.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/helpers/loglog.h>
#include <log4cplus/hierarchy.h>
#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>

namespace Tellar {

const char* const kDefaultAppenderName = "TellarDefault";
const char* const kConfigEnvironmentVariable = "NVSIP_LOG_CONFIG";

namespace {

const char* const kDefaultPattern = "%D{%Y-%m-%d %H:%M:%S.%q} %-5p [%t] %c - %m (%b:%L)%n";

// Serialises configuration changes with each other.
std::mutex& configurationMutex() {
    static std::mutex* const s_pMutex = new std::mutex;
    return *s_pMutex;
}

bool isReadable(const char* path) {
    if (!path || !*path) return false;
    std::ifstream in(path);
    return in.good();
}

void applyBuiltIn() {
    log4cplus::SharedAppenderPtr console(new log4cplus::ConsoleAppender(true /* stderr */, true /* flush */));
    console->setName(kDefaultAppenderName);
    console->setLayout(std::unique_ptr<log4cplus::Layout>(new log4cplus::PatternLayout(kDefaultPattern)));
    log4cplus::Logger root = log4cplus::Logger::getRoot();
    root.addAppender(console);
    root.setLogLevel(log4cplus::WARN_LOG_LEVEL);
}

// Adds the default configuration to whatever is there. True when it came from
// the file named by the environment.
bool applyDefault() {
    const char* path = std::getenv(kConfigEnvironmentVariable);
    if (path && *path) {
        if (isReadable(path)) {
            log4cplus::PropertyConfigurator::doConfigure(path);
            return true;
        }
        log4cplus::helpers::getLogLog().warn(std::string(kConfigEnvironmentVariable) + " names a file that cannot be read (" +
                                             path + "); using the built-in log configuration");
    }
    applyBuiltIn();
    return false;
}

}  // namespace

void initialize() {
    static std::once_flag s_Once;
    std::call_once(s_Once, [] {
        log4cplus::initialize();
        std::lock_guard<std::mutex> lock(configurationMutex());
        if (log4cplus::Logger::getRoot().getAllAppenders().empty()) applyDefault();
    });
}

bool configure(const char* propertiesFile) {
    initialize();
    if (!isReadable(propertiesFile)) return false;
    std::lock_guard<std::mutex> lock(configurationMutex());
    log4cplus::Logger::getDefaultHierarchy().resetConfiguration();
    log4cplus::PropertyConfigurator::doConfigure(propertiesFile);
    return true;
}

bool configureDefault() {
    initialize();
    std::lock_guard<std::mutex> lock(configurationMutex());
    log4cplus::Logger::getDefaultHierarchy().resetConfiguration();
    return applyDefault();
}

}  // namespace Tellar
