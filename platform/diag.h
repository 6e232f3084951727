// Diagnostics: where a training or run records what it did.
#ifndef TQ_PLATFORM_DIAG_H
#define TQ_PLATFORM_DIAG_H

class tqDiagObject {
public:
    virtual ~tqDiagObject() = default;
    // The object to record into (null: none) for a caller's request; may rewrite the flags.
    // This stand-in returns the requested object and leaves the flags as they are.
    static tqDiagObject* getRecordingDestination(tqDiagObject* requested, unsigned long& flags);
};

#endif
