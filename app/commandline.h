#pragma once

#include "app/instancemessage.h"

#include <QString>
#include <QStringList>

#include <optional>

class SingleInstance;

// What the command line asks for. Help, the version and usage errors end the process at once.
struct CommandLine {
    InstanceAction action = InstanceAction::Show;
    std::optional<int> exitCode;
    QString message; // stdout with exit code 0, stderr otherwise
};

namespace ExitCodes
{
inline constexpr int ok = 0;
inline constexpr int noAnswer = 1;
inline constexpr int usage = 2;
} // namespace ExitCodes

// The arguments without the program name's special meaning: the first one is skipped.
CommandLine parseCommandLine(const QStringList& arguments);
CommandLine parseCommandLine(int argc, char* argv[]);

QString commandLineHelp();

// Before any window: prints what the command line says, or hands the action to the running copy
// and reports its answer. The exit code when this process ends here; nothing when it is to launch
// and then carry out the action itself.
std::optional<int> endsBeforeLaunch(const CommandLine& command, SingleInstance& instance);
