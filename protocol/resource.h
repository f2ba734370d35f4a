#pragma once
// The program's error messages, how they reach the user, and the start-up routine.

#include <QString>
#include <QtGlobal>

#include <functional>

// Sent as bytes 18..19 of every request and required in every discovery reply;
// set by StartupInit.
extern quint16 ProtocolCode;

enum TErrorMessage {
    MsgDeviceNotResponding = 0,
    MsgFileNotFound = 1,
    MsgTransferError = 2,
    MsgVerifyError = 3,
    MsgConfigNotCompatible = 4,
    MsgConnectionError = 5,
    MsgLoginsMustDiffer = 6,
    MsgBadFirmwareName = 7,
};
constexpr int ErrorMessageCount = 8;

// The message's format, with at most one %s; index 0..7.
QString ErrorMessageFormat(int index);
// The resource id the message is bound to.
int ErrorMessageResourceId(int index);
QString FormatErrorMessage(int index, const QString &argument);

// The library shows nothing itself: the application installs a sink that turns a
// message into its error box, and tests install one that records it.
using TErrorMessageSink = std::function<void(const QString &message)>;
// Installs a sink and returns the previous one. Without a sink messages are logged.
TErrorMessageSink SetErrorMessageSink(TErrorMessageSink sink);
void ShowErrorMessage(int index, const QString &argument);

// The two texts of the about box's link lines (both empty in this program).
QString AboutLinkText(int line);

// First routine of the main window's creation. showFileSeparator makes the File
// menu's separator visible (the library has no windows of its own).
void StartupInit(const std::function<void()> &showFileSeparator = {});
