// The node runner: a Zelkor node in a process of its own, the library embedded the way an
// application embeds it and driven from outside through its standard streams. Its options,
// commands and event lines: README.md beside this file, or `zelkor_node --help`.

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <exception>
#include <string>

#include <boost/asio/io_context.hpp>

#include "Credentials.h"
#include "Events.h"
#include "Node.h"
#include "Options.h"
#include "Tree.h"
#include "driver/IZelkorDriver.h"

int main(int argc, char** argv) {
    using namespace ZelkorNode;
    // Blocked before any thread exists, so that every thread inherits the mask; the node
    // reads them from a signalfd instead.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A reader that went away is an error on the write, not the end of the process.
    signal(SIGPIPE, SIG_IGN);

    Events events;
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        events.Error(error);
        return 2;
    }
    if (options.help) {
        std::fputs(Usage(), stdout);
        return 0;
    }
    if (options.version) {
        // The library's own version record, which its nodes also announce to their peers,
        // and the version of the package it was built from (CMake's and pkg-config's).
        Zelkor::VersionInfo version;
        Zelkor::GetVersionInfo(version);
        std::printf("zelkor_node %s (package %s)\n", version.version.c_str(), ZELKOR_PACKAGE_VERSION);
        return 0;
    }
    if (!CheckCredentials(options, error) || !MakeStorageRoot(options, error)) {
        events.Error(error);
        return 2;
    }

    // The event loop is the application's: commands from standard input are posted to it.
    boost::asio::io_context loop;
    Zelkor::IZelkorDriver* driver = Zelkor::CreateDriver(loop);
    // Standard output belongs to the events.
    driver->RegisterExternalLogger(WriteLogLine);
    driver->SetLogLevel(options.logLevel);

    int exitCode = 2;
    try {
        if (auto tree = LoadTree(options, error)) {
            Node node(*driver, loop, std::move(tree), options, events);
            exitCode = node.Run(stopSignals);
            Json::Value stop;
            stop["exitCode"] = exitCode;
            events.Write("stop", stop);
        } else {
            events.Error(error);
        }
    } catch (const std::exception& failure) {
        events.Error(failure.what());
        exitCode = 1;
    }
    Zelkor::DeleteDriver();
    return exitCode;
}
