#pragma once
// TJobService: the one place where device work is turned into operations. Every front end (the
// window, tarvino-cli, the benchmarks) hands it a TJobRequest and watches the TJob it gets back;
// the rules a job keeps (images, components and types, controllers before boards, the device seen
// again, retry) therefore hold whatever door the request came through.
//
//   TJobService service(engine);
//   TJob *job = service.start(TJobRequest::forDevices(TJobAction::ControllerUpgrade, devices, file));
//   connect(job, &TJob::confirmationRequested, [job] { job->confirm(askUser()); });
//   connect(job, &TJob::finished, ...);

#include "fleet/jobs/job.h"
#include "fleet/history/operationjournal.h"
#include "fleet/jobs/jobrequest.h"

#include <QObject>

class TDatagramEngine;

class TJobService : public QObject
{
    Q_OBJECT
public:
    // journal: where the confirmations of upgrades are recorded beside the operations themselves
    // (nullptr: the program's history).
    explicit TJobService(TDatagramEngine *engine, const TOperationJournal *journal = nullptr, QObject *parent = nullptr);

    TDatagramEngine *engine() const { return m_engine; }

    // A job for the request, not started yet (connect first, then start() or exec()). Owned by
    // parent, or by the service when none is given.
    TJob *create(const TJobRequest &request, QObject *parent = nullptr);
    // create(), then start().
    TJob *start(const TJobRequest &request, QObject *parent = nullptr);

private:
    TDatagramEngine *m_engine;
    const TOperationJournal *m_journal;
    TOperationJournal m_defaultJournal;
};
