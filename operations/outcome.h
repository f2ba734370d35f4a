#pragma once
// How a device operation ended, and what it left the device in.

#include <QString>
#include <QStringList>

#include <exception>

// The services of a device's communication board as far as the program knows them: a service
// is known once the device acknowledged a request that starts or stops it; one whose request went
// unconfirmed may be either way.
struct TDeviceState
{
    enum Service : quint8 { Unknown, On, Off, Unconfirmed };
    Service updater = Unknown;
    Service daemon = Unknown;
    Service ftpServer = Unknown;

    // "updater on, daemon off" for the services asked about; empty when none was.
    QString text() const;
    // True when nothing is known to be, or may be, out of normal service: the daemon not off, the
    // updater and the FTP server not on, and none of them unconfirmed.
    bool normal() const;
};

// What kind of failure ended an operation, for callers that branch on it (the window's colours, a
// batch's retry, the command line's JSON) rather than on the message's words.
enum class TOperationError : quint8 {
    None,            // succeeded
    NotResponding,   // the device did not answer a request in time
    VerifyFailed,    // what was read back differs from what was written
    RefusedByDevice, // the device answered, but refused or reported a failure
    Busy,            // another operation works on the device; nothing was sent
    Cancelled,       // stopped by its caller
    Declined,        // the user did not confirm; nothing was sent
    FileError,       // a file could not be read or written, or is unfit (empty, too large)
    TransferFailed,  // a transfer broke off (FTP, TCP connection)
    Environment,     // the PC: no socket, no route, port taken
};
// "notResponding", "verifyFailed", ...; empty for None.
QString ErrorKindKey(TOperationError kind);

struct TOperationOutcome
{
    bool succeeded = false;
    bool declined = false;  // the user did not confirm the firmware warning; nothing was sent
    bool cancelled = false; // stopped by its caller between two exchanges
    TOperationError kind = TOperationError::None;
    QString failedStep;     // the label of the step or phase that failed, e.g. "Stopping daemon"
    QString message;        // what the window shows for the failure; empty where it shows none
    QString detail;         // more for a log or a terminal: why a request could not be sent, ...
    TDeviceState device;
    // What the caller should tell even on success: something the operation went on without (an
    // ARP flush the system refused).
    QStringList notes;
    // The SHA-256 (hexadecimal) of the image or configuration the operation sent; empty when none.
    QString sentSha256;
    // A request that changes what the device holds or does went out (a firmware block, an upload,
    // a configuration, an erase, a reset, a board command): a failure after it may have left the
    // device changed, so that a retry is no longer the same harmless attempt.
    bool deviceChanged = false;
    // An error that the window hands on to the program's general error handler once the
    // device is put back (a file that cannot be read, an FTP error, a failed connection).
    std::exception_ptr error;

    // The error's own text, empty when there is none.
    QString errorText() const;
    // What a failure tells: its message, else its error's text.
    QString failureText() const { return message.isEmpty() ? errorText() : message; }
};
