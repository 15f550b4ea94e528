// Root of the library's exceptions: a message text.
#pragma once

#include <exception>
#include <string>

namespace qm {

/// The root of every exception the library raises: catch qm::Exception to
/// catch them all. what() gives the same text as Message().
class Exception : public std::exception {
 public:
  /// An exception with its message (UTF-8).
  explicit Exception(std::string AMessage) : FMessage(std::move(AMessage)) {}
  /// The message: for a server's refusal, the server's reply.
  const std::string& Message() const noexcept { return FMessage; }
  /// Replaces the message.
  void SetMessage(std::string AMessage) { FMessage = std::move(AMessage); }
  /// The message.
  const char* what() const noexcept override { return FMessage.c_str(); }

 private:
  std::string FMessage;
};

/// A text that is not a number, a date that does not exist, and the like.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

/// Reading or writing past what a stream holds, files that cannot be opened.
class EStreamError : public Exception {
 public:
  using Exception::Exception;
};
class EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

/// An index outside a list.
class EListError : public Exception {
 public:
  using Exception::Exception;
};

/// An operation that the object's state does not allow.
class EInvalidOperation : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace qm
