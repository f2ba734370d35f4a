#pragma once
// tarvino-cli run as a script runs it, for the lab tests of the command line: no terminal, its
// history, cache and settings in the test's own folder, its output, errors and exit status.

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

// One JSON object per non-empty line.
inline QList<QJsonObject> JsonLines(const QByteArray &out)
{
    QList<QJsonObject> objects;
    for (const QByteArray &line : out.split('\n'))
        if (!line.isEmpty())
            objects << QJsonDocument::fromJson(line).object();
    return objects;
}

struct CliRun
{
    int exitCode = -1; // -1 when it crashed or did not end in time
    QByteArray out;
    QByteArray err;

    QList<QJsonObject> jsonLines() const { return JsonLines(out); }
};

// The program's environment with dataHome as its data folder (the history), and its cache and
// settings beside it; a library folder of the user's environment does not reach it.
inline QProcessEnvironment CliEnvironment(const QString &dataHome)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), dataHome + QStringLiteral("/cache"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dataHome + QStringLiteral("/config"));
    environment.remove(QStringLiteral("TARVINO_LIBRARY"));
    return environment;
}

struct CliCall
{
    int timeoutMs = 120000;
    QByteArray input;           // its standard input, then closed
    QString standardOutputFile; // its standard output into this file instead
    QString inNamespace;        // run in this network namespace of the lab (ip netns exec)
};

inline CliRun RunCli(const QStringList &arguments, const QString &dataHome, const CliCall &call = {})
{
    QProcess process;
    process.setProcessEnvironment(CliEnvironment(dataHome));
    if (!call.standardOutputFile.isEmpty())
        process.setStandardOutputFile(call.standardOutputFile);
    if (call.inNamespace.isEmpty())
        process.start(QStringLiteral(TARVINO_CLI_PATH), arguments);
    else
        process.start(QStringLiteral("ip"),
                      QStringList{QStringLiteral("netns"), QStringLiteral("exec"), call.inNamespace,
                                  QStringLiteral(TARVINO_CLI_PATH)} + arguments);
    process.write(call.input);
    process.closeWriteChannel();
    CliRun run;
    if (!process.waitForFinished(call.timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

#ifdef TARVINO_CLI_VALIDATOR
// What the JSON Schema the package installs says against the lines; empty when they conform.
inline QString SchemaFaults(const QByteArray &lines)
{
    QProcess validator;
    validator.start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral(TARVINO_CLI_VALIDATOR), QStringLiteral(TARVINO_CLI_SCHEMA), QStringLiteral("-")});
    validator.write(lines);
    validator.closeWriteChannel();
    if (!validator.waitForFinished(60000))
        return QStringLiteral("the validator did not end");
    const QString said = QString::fromUtf8(validator.readAllStandardOutput() + validator.readAllStandardError());
    return validator.exitCode() == 0 ? QString() : said.isEmpty() ? QStringLiteral("the validator failed") : said;
}
#endif
