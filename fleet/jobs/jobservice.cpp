#include "fleet/jobs/jobservice.h"

#include "fleet/history/operationjournal.h"

TJobService::TJobService(TDatagramEngine *engine, const TOperationJournal *journal, QObject *parent)
    : QObject(parent), m_engine(engine), m_journal(journal)
{
}

TJob *TJobService::create(const TJobRequest &request, QObject *parent)
{
    return new TJob(m_engine, request, m_journal ? m_journal : &m_defaultJournal, parent ? parent : this);
}

TJob *TJobService::start(const TJobRequest &request, QObject *parent)
{
    TJob *job = create(request, parent);
    job->start();
    return job;
}
