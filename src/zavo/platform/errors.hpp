#pragma once
// The error kinds the engine raises. Each carries exactly one message text; callers tell the
// kinds apart by type, never by parsing the message.

#include <stdexcept>
#include <string>

namespace zavo {

// A graph uses a pattern that pruning does not support.
class PruningEngineRuntimeException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A call form or operation the engine does not handle.
class NotImplementedError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// A bad argument value, such as a conflicting handler registration.
class ValueError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A value of the wrong type, such as a dimension argument that is not a sequence.
class TypeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Missing bookkeeping: a key or index that has no entry.
class LookupError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

}  // namespace zavo
