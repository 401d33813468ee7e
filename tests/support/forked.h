// Checks that must run in a process of their own, because they give up rights or change limits that
// the rest of the test program still needs.
#pragma once

#include <functional>
#include <string>

namespace fakenet {

// Runs the checks in a forked child and returns what failed there, one line each; a child that does
// not end cleanly adds a line of its own.
std::string FailuresInChild(const std::function<std::string()>& checks);

}  // namespace fakenet
