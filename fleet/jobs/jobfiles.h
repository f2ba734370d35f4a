#pragma once
// TJobFiles: the files a job sends, each read once, and the checks an image passes before any
// device hears of it. An image is looked up in the firmware library by the SHA-256 of its bytes,
// whatever its path or name: a library image goes only to the component and the device types its
// entry names. The files carry no header naming their component or type, so this is what keeps a
// board image out of a controller and an image away from a device of another type.

#include "fleet/jobs/jobrequest.h"
#include "operations/firmwareimage.h"

#include <QHash>
#include <QString>

#include <optional>

class TFirmwareLibrary;

class TJobFiles
{
public:
    // library: the manifest as read when the job starts (nullptr: no library is known);
    // libraryProblem: why the library's manifest could not be read (no image is sent then).
    TJobFiles(const TFirmwareLibrary *library, QString libraryProblem);

    // Reads the item's file once for the job; empty when the item may be sent it, otherwise why
    // not, in the words the window and the command line show.
    QString prepare(const TJobItem &item);
    // A file the job read before (a retry sends the same bytes, whatever the file holds now).
    void adopt(const QString &file, const TFirmwareImage &image) { m_images.insert(file, image); }
    // The bytes of a file prepare() accepted (for a configuration: its text).
    const TFirmwareImage &image(const QString &file) const { return m_images.find(file).value(); }

private:
    QString readOnce(const QString &file, bool libraryChecked);

    const TFirmwareLibrary *m_library;
    QString m_libraryProblem;
    QHash<QString, TFirmwareImage> m_images;
    QHash<QString, QString> m_unreadable; // by file: why it could not be read
};
