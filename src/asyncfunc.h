#pragma once
// The work object of one run of an ASyncTaskSpecification. run() executes on
// a pool thread; it touches no GUI or task object, works only on the copies of
// its inputs, and talks only through its signals, which reach the task queued.
// Created without a parent; the ASyncRun that runs it deletes it afterwards.

#include <QObject>
#include <QString>

class ASyncFunc : public QObject
{
    Q_OBJECT

public:
    ASyncFunc();

    // Runs the work and emits runResult with its outcome.
    void exec();

    // True on success; failures are reported through message or error first.
    virtual bool run() = 0;

signals:
    void runResult(bool res);
    // Before a failed runResult: the system's reason ("No space left on
    // device"), when the failure left one.
    void failedWith(QString reason);
    void message(QString message);
    void error(QString errorMessage);
    // Fraction from 0 to 1.
    void progress(qreal progress);
};
