#pragma once
// The command-line forms that manage the allow-list of origins for
// installers: `/allow-origin URL...` and `/deny-origin URL...`, run beside
// the database in the executable's folder, with or without a running daemon.
#include <string>
#include <vector>

namespace tb {

// `args` is the whole argument vector; the origins follow the switch.
// 0 when every origin was handled, 1 otherwise (each failure is printed).
// The Windows setup program runs nothing from the program folder, so it
// hands its /ORIGIN= list over in this file instead (commas or white space
// between origins); only those who may change the folder can write it.
inline constexpr const char* kHandedOverOriginsFile = "allow-origins.txt";

// At the daemon's start, with the database open: lists the handed-over
// origins (each reported) and removes the file. Kept without a database.
void ListHandedOverOrigins();

int AllowOriginCommand(const std::vector<std::string>& args);
int DenyOriginCommand(const std::vector<std::string>& args);

}  // namespace tb
