// Exceptions of the foundation and the conversion of failure statuses into exceptions.
#ifndef TQ_PLATFORM_EXCEPTION_H
#define TQ_PLATFORM_EXCEPTION_H

#include <exception>
#include <iosfwd>
#include <string>

#include "platform/persistent.h"

// Base of every exception the system throws. Persistent, so that an error can be archived
// and rebuilt; also a std::exception, whose what() is the message.
class tqException : public tqPersistent, public std::exception {
public:
    ~tqException() override;
    void dispatchSerialize(tqArchive& ar) override;

    virtual long errorNumber() const = 0;
    // Deletes this heap object and throws a copy of it as its own class.
    virtual void suicideAndRethrow() = 0;

    // The message text (the flag is accepted for compatibility; the text is the same).
    std::string message(bool full = true) const;
    const char* what() const noexcept override;

protected:
    tqException() = default;
    tqException(const tqException&) = default;
    tqException& operator=(const tqException&) = default;

    // Writes the message; the base writes what().
    virtual void message_(std::ostream& out) const;
};

// An exception that keeps, archives and prints the message given to its constructor. Its
// archive form is the message alone (no version byte), so that an error class derived from
// it archives as its own levels' version bytes followed by the message.
class tqExceptionWithString : public tqException {
public:
    explicit tqExceptionWithString(const std::string& message = "");
    ~tqExceptionWithString() override;
    void dispatchSerialize(tqArchive& ar) override;
    long errorNumber() const override;
    void suicideAndRethrow() override;
    const char* what() const noexcept override;

protected:
    void message_(std::ostream& out) const override;

private:
    std::string message_text_;
};

// Thrown when an empty handle is followed.
class tqBadPointer : public tqException {
public:
    tqBadPointer() = default;
    long errorNumber() const override;
    void suicideAndRethrow() override;
    const char* what() const noexcept override;

protected:
    void message_(std::ostream& out) const override;
};

// Thrown by the attention check when a host has requested an abort.
class tqAborted : public tqException {
public:
    tqAborted() = default;
    long errorNumber() const override;
    void suicideAndRethrow() override;
    const char* what() const noexcept override;

protected:
    void message_(std::ostream& out) const override;
};

// A failure status that no converter turned into an exception of its own.
class tqFailureStatus : public tqExceptionWithString {
public:
    explicit tqFailureStatus(long status);
    long status() const { return status_; }
    void suicideAndRethrow() override;

private:
    long status_;
};

// Status words: a failure has bit 31 set; its group is held in bits 5 to 15.
bool tfIsFailure(long status);
long tfStatusGroup(long status);

// Registers the converter of a status group (a later registration replaces an earlier one).
void tfRegisterExceptionConverter(long group, void (*converter)(long status));
// Returns on success; on failure calls the group's converter, and throws tqFailureStatus
// when there is none or it returns.
void tfThrowExceptionOnFailure(long status);
// The decimal text of a number.
std::string tfStr(long value);

#endif
