// Diagnostics: where a training or run records what it did.
#ifndef TQ_PLATFORM_DIAG_H
#define TQ_PLATFORM_DIAG_H

class tqDiagObject {
public:
    // Decides where records go for a caller's request; may rewrite the flags.
    using Route = tqDiagObject* (*)(tqDiagObject* requested, unsigned long& flags);

    virtual ~tqDiagObject() = default;
    // The object to record into (null: none) for a caller's request; may rewrite the flags.
    // Without an installed route, this returns the requested object and leaves the flags alone.
    static tqDiagObject* getRecordingDestination(tqDiagObject* requested, unsigned long& flags);
    // Installs the host's routing (null: back to the default) and returns the previous one.
    // Meant to be set once, before any training or run records.
    static Route setRecordingRoute(Route route);
};

#endif
