#pragma once
// Configuration of the log back end (log4cplus).
//
// With nothing configured by the application, the default configuration
// applies as soon as the library is loaded: the log4cplus properties file
// named by the environment variable NVSIP_LOG_CONFIG when it is set and
// readable, otherwise the built-in one: the root logger at WARN with one
// console appender on standard error (named "TellarDefault") and the layout
//     2024-05-01 12:00:00.123 WARN  [thread] logger.name - text (File.cpp:42)
// An application that wants its own configuration calls configure() with a
// log4cplus properties file; it replaces the whole configuration (levels and
// appenders of the log4cplus hierarchy). An application that configures
// log4cplus directly should first remove the appender "TellarDefault" from the
// root logger. The own levels of Tellar loggers (Logger::setLogLevel) are not
// part of the configuration and are left alone.
//
// Threads: the functions below may be called from any thread, but a
// configuration change is not atomic for loggers in use at the same time: a
// record emitted meanwhile may see the old or the new configuration, or none.

namespace Tellar {

// Name of the console appender of the built-in configuration.
extern const char* const kDefaultAppenderName;  // "TellarDefault"
// Name of the environment variable naming a properties file.
extern const char* const kConfigEnvironmentVariable;  // "NVSIP_LOG_CONFIG"

// Initialises log4cplus and applies the default configuration, once per
// process; later calls do nothing. Every way to a logger calls it.
void initialize();

// Replaces the configuration by the log4cplus properties in `propertiesFile`.
// Returns false, changing nothing, when the file cannot be read (or is null).
bool configure(const char* propertiesFile);

// Replaces the configuration by the default one described above (reads
// NVSIP_LOG_CONFIG again). Returns true when it came from that file.
bool configureDefault();

}  // namespace Tellar
