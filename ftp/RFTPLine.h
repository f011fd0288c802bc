// Text helpers of the command interpreter: Telnet removal, verb
// matching and the word quoted by the unknown-verb reply. Pure functions on
// strings; no session state.
#pragma once

#include <string>
#include <string_view>

#include "util/RText.h"

namespace vantor {

// Longest command line the interpreter looks at; the rest is cut.
constexpr size_t kMaxCommandLine = 341;

// Removes Telnet commands: IAC IAC becomes one 255 byte, IAC followed by a
// byte from 240 to 254 is removed with that byte; option bytes stay.
std::string StripTelnet(std::string_view line);

// True when `line` begins with `verb`, compared without regard to case.
// Anything may follow, so "STORE" is taken as STOR.
bool VerbIs(std::string_view line, std::string_view verb);

// The argument of a command: the text after the first `verbLength`
// characters, cut to `maxLength` characters, then trimmed.
std::string ArgumentOf(std::string_view line, size_t verbLength, size_t maxLength);

// What the unknown-verb reply quotes: the first word (at most 25
// characters) or, for a line without a blank, the line (at most 160), in
// upper case.
std::string UnknownVerbWord(std::string_view line);

}  // namespace vantor
