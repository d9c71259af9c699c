#pragma once

// A network with nothing but loopback, for tests that must not send a packet off this
// machine even when the code under test looks up an outside name.

#include <string>

namespace testsupport {

// Moves the whole process into a network namespace of its own with only loopback up, and
// points the resolver there at 127.0.0.1, where nothing listens: every name lookup that is
// not answered by the hosts file fails at once, and nothing leaves the machine. Needs root
// (CI has it) and must run before the process starts its first thread, so main calls it
// first. Returns an empty text on success, else why it could not be done.
std::string enterLoopbackOnlyNetwork();

// True once enterLoopbackOnlyNetwork succeeded and loopback is the only interface.
bool inLoopbackOnlyNetwork();

} // namespace testsupport
