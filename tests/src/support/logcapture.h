#pragma once
// Collects the diagnostic lines of the code under test while it lives, so a
// test can wait for an event that leaves no other trace (a time-out, a refused
// reply). Not thread-safe beyond Qt's own serialisation of the handler.

#include <QString>
#include <QStringList>
#include <QtGlobal>

class LogCapture final
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const;
    // Lines that contain `text`.
    int count(const QString& text) const;
    void clear();

private:
    QtMessageHandler m_Previous;
};
