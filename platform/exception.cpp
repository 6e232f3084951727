// Exception classes and the conversion of failure statuses into exceptions.
#include "platform/exception.h"

#include <cstdio>
#include <map>
#include <sstream>

#include "platform/archive.h"

// ---- tqException

tqException::~tqException() = default;

// The base level archives nothing of its own; tqExceptionWithString archives the message.
void tqException::dispatchSerialize(tqArchive& ar) { tqPersistent::dispatchSerialize(ar); }

std::string tqException::message(bool) const {
    std::ostringstream out;
    message_(out);
    return out.str();
}

const char* tqException::what() const noexcept { return "tqException"; }

void tqException::message_(std::ostream& out) const { out << what(); }

// ---- tqExceptionWithString

tqExceptionWithString::tqExceptionWithString(const std::string& message) : message_text_(message) {}

tqExceptionWithString::~tqExceptionWithString() = default;

// The message alone, without a version byte: an error archives as its classes' version
// bytes followed by the message.
void tqExceptionWithString::dispatchSerialize(tqArchive& ar) {
    tqArchive::LevelScope scope(ar, this, sizeof(*this));
    if (scope.visited()) return;
    tqException::dispatchSerialize(ar);
    ar || message_text_;
    scope.markVisited();
}

long tqExceptionWithString::errorNumber() const { return 0; }

void tqExceptionWithString::suicideAndRethrow() {
    tqExceptionWithString copy(*this);
    delete this;
    throw copy;
}

const char* tqExceptionWithString::what() const noexcept { return message_text_.c_str(); }

void tqExceptionWithString::message_(std::ostream& out) const { out << message_text_; }

// ---- tqBadPointer, tqAborted

long tqBadPointer::errorNumber() const { return 0; }

void tqBadPointer::suicideAndRethrow() {
    tqBadPointer copy(*this);
    delete this;
    throw copy;
}

const char* tqBadPointer::what() const noexcept { return "Attempt to follow an empty handle"; }

void tqBadPointer::message_(std::ostream& out) const { out << what(); }

void tq_throwBadPointer() { throw tqBadPointer(); }

void tqRepBase::destroy_() const noexcept { delete this; }

long tqAborted::errorNumber() const { return 0; }

void tqAborted::suicideAndRethrow() {
    tqAborted copy(*this);
    delete this;
    throw copy;
}

const char* tqAborted::what() const noexcept { return "Operation aborted on request"; }

void tqAborted::message_(std::ostream& out) const { out << what(); }

// ---- tqFailureStatus

namespace {
std::string describeStatus(long status) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(status) & 0xFFFFFFFFUL);
    return std::string("Unhandled failure status ") + hex;
}
}  // namespace

tqFailureStatus::tqFailureStatus(long status)
    : tqExceptionWithString(describeStatus(status)), status_(status) {}

void tqFailureStatus::suicideAndRethrow() {
    tqFailureStatus copy(*this);
    delete this;
    throw copy;
}

// ---- status conversion

namespace {
using Converter = void (*)(long);

// Converters are registered while libraries load, before any of this file's statics may
// exist; a function-local static is built on first use. Registration happens only at
// load time, so later concurrent lookups only read.
std::map<long, Converter>& converters() {
    static std::map<long, Converter> instance;
    return instance;
}
}  // namespace

bool tfIsFailure(long status) { return (static_cast<unsigned long>(status) & 0x80000000UL) != 0; }

long tfStatusGroup(long status) {
    return static_cast<long>((static_cast<unsigned long>(status) >> 5) & 0x7FFUL);
}

void tfRegisterExceptionConverter(long group, void (*converter)(long status)) {
    converters()[group] = converter;
}

void tfThrowExceptionOnFailure(long status) {
    if (!tfIsFailure(status)) return;
    const auto& table = converters();
    const auto found = table.find(tfStatusGroup(status));
    if (found != table.end() && found->second) found->second(status);
    throw tqFailureStatus(status);
}

std::string tfStr(long value) { return std::to_string(value); }
