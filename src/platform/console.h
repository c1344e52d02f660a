// The program's standard streams as a console host sees them.
#pragma once

namespace nel::platform {

enum class InputByte {
  kNone,    // nothing to read without waiting
  kByte,    // one byte taken
  kClosed,  // the input has ended (or cannot be read)
};

// Takes one byte of standard input when one is there to read without
// blocking. A terminal hands its text over by lines: a line counts once Enter
// ends it. Line ends come as '\n'. For one thread at a time.
InputByte TakeInputByte(char& c);

// Whether standard error is a terminal (a console), not a file or a pipe.
bool StderrIsTerminal();

}  // namespace nel::platform
