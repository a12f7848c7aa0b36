#include "installjournal.h"

#include "durablefiles.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QObject>
#include <QRegularExpression>
#include <QUrl>

#include <zlib.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kDirName = ".vx3update";
const char* const kHeader = "VXJOURNAL\t1";
const char* const kCommit = "COMMIT";
const char* const kUndone = "UNDONE";
// Far more than any session writes; a bigger file is not ours.
const qint64 kMaxJournalSize = 64 * 1024 * 1024;

QByteArray native(const QString& path)
{
    return QFile::encodeName(path);
}

bool lexists(const QString& path)
{
    struct stat st;
    return ::lstat(native(path).constData(), &st) == 0;
}

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

QByteArray crcOf(const QByteArray& text)
{
    const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(text.constData()), static_cast<uInt>(text.size()));
    return QByteArray::number(static_cast<qulonglong>(crc), 16).rightJustified(8, '0');
}

QByteArray sealed(const QByteArray& text)
{
    return QByteArray(text + '\t' + crcOf(text) + '\n');
}

bool writeAll(int fd, const QByteArray& data)
{
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return ::fsync(fd) == 0;
}

// A relative path that stays inside the directory it is relative to.
bool staysInside(const QString& rel)
{
    return !rel.isEmpty() && !rel.startsWith(QLatin1Char('/')) && QDir::cleanPath(rel) == rel
           && rel != QLatin1String(".") && !rel.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

bool isKeptName(const QString& rel)
{
    static const QRegularExpression pattern(QStringLiteral("^kept/[0-9]+$"));
    return pattern.match(rel).hasMatch();
}

struct Entry
{
    char op;
    QString path; // absolute
    QString kept; // absolute, R and M only
};

struct Parsed
{
    bool ok = false;
    QString problem;
    QList<Entry> entries;
    bool ended = false;      // COMMIT or UNDONE: only clean-up is left
    qint64 validLength = 0;  // bytes up to the end of the last good line
};

Parsed parse(const QByteArray& data, const QString& installDir, const QString& dir)
{
    Parsed result;
    QList<QByteArray> lines = data.split('\n');
    const QByteArray tail = lines.takeLast(); // after the last line break: a cut-off write, or empty
    const QByteArray header = sealed(kHeader);
    if (lines.isEmpty()) {
        // Cut off while the header was written: nothing was journalled yet.
        result.ok = header.startsWith(tail);
        result.problem = QObject::tr("it does not start like an update journal");
        return result;
    }
    if (QByteArray(lines.first() + '\n') != header) {
        result.problem = QObject::tr("it is not an update journal of this updater");
        return result;
    }
    result.validLength = header.size();
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const bool last = i == lines.size() - 1 && tail.isEmpty();
        const int cut = line.lastIndexOf('\t');
        const bool sound = cut > 0 && crcOf(line.left(cut)) == line.mid(cut + 1);
        if (!sound) {
            if (last)
                break; // a write cut off by the end of the process
            result.problem = QObject::tr("line %1 is damaged").arg(i + 1);
            return result;
        }
        if (result.ended) {
            result.problem = QObject::tr("line %1 follows the end mark").arg(i + 1);
            return result;
        }
        const QList<QByteArray> fields = line.left(cut).split('\t');
        const QByteArray op = fields.first();
        if (op == kCommit || op == kUndone) {
            if (fields.size() != 1) {
                result.problem = QObject::tr("line %1 is not a journal record").arg(i + 1);
                return result;
            }
            result.ended = true;
        } else {
            const bool twoPaths = op == "R" || op == "M";
            if ((op != "D" && op != "C" && !twoPaths) || fields.size() != (twoPaths ? 3 : 2)) {
                result.problem = QObject::tr("line %1 is not a journal record").arg(i + 1);
                return result;
            }
            const QString rel = QUrl::fromPercentEncoding(fields.at(1));
            const QString keptRel = twoPaths ? QUrl::fromPercentEncoding(fields.at(2)) : QString();
            if (!staysInside(rel) || (twoPaths && !isKeptName(keptRel))) {
                result.problem = QObject::tr("line %1 names a path outside the installation").arg(i + 1);
                return result;
            }
            result.entries << Entry{op.at(0), QString(installDir + QLatin1Char('/') + rel),
                                    twoPaths ? QString(dir + QLatin1Char('/') + keptRel) : QString()};
        }
        result.validLength += line.size() + 1;
    }
    result.ok = true;
    return result;
}

// Undoes the entries newest first. Each undo checks first whether it is
// still due, so running this again after an interruption does no harm.
int undoEntries(const QList<Entry>& entries, QStringList* warnings)
{
    int undone = 0;
    for (int i = entries.size() - 1; i >= 0; --i) {
        const Entry& e = entries.at(i);
        const bool newest = i == entries.size() - 1;
        switch (e.op) {
        case 'D':
            if (QFileInfo(e.path).isDir() && !QFileInfo(e.path).isSymLink()) {
                if (QDir().rmdir(e.path))
                    ++undone;
                else
                    *warnings << QObject::tr("warning: rollback create dir %1 failed").arg(e.path);
            }
            break;
        case 'C':
            if (lexists(e.path)) {
                if (QFile::remove(e.path))
                    ++undone;
                else
                    *warnings << QObject::tr("warning: rollback create file %1 failed").arg(e.path);
            }
            break;
        case 'R':
            if (!lexists(e.kept)) {
                // The newest record may announce a link never made: then the
                // file was never touched. Otherwise the original is lost.
                if (!newest)
                    *warnings << QObject::tr("warning: the original of %1 is missing (%2); the file is left as it is")
                                     .arg(e.path, e.kept);
            } else if (!DurableFiles::sameFile(e.kept, e.path)) {
                if (RollbackData(RollbackData::FILE_REPLACE, e.kept, e.path).rollback(nullptr))
                    ++undone;
                else
                    *warnings << QObject::tr("warning: rollback replace %1 from %2 failed").arg(e.path, e.kept);
            }
            break;
        case 'M':
            if (lexists(e.kept)) {
                if (::rename(native(e.kept).constData(), native(e.path).constData()) == 0) {
                    DurableFiles::syncParent(e.path);
                    ++undone;
                } else {
                    *warnings << QObject::tr("warning: rollback rename %1 to %2 failed").arg(e.path, e.kept);
                }
            } else if (!lexists(e.path)) {
                *warnings << QObject::tr("warning: the original of %1 is missing (%2); the file is left as it is")
                                 .arg(e.path, e.kept);
            }
            break;
        default:
            break;
        }
    }
    return undone;
}

// True while some kept original is the only copy of what it keeps.
bool keptStillNeeded(const QList<Entry>& entries)
{
    for (const Entry& e : entries) {
        if (e.op == 'R' && lexists(e.kept) && !DurableFiles::sameFile(e.kept, e.path))
            return true;
        if (e.op == 'M' && lexists(e.kept))
            return true;
    }
    return false;
}

// The journal said the session ended: remove what is left, the journal last.
void removeAll(const QString& dir)
{
    QDir(dir + QStringLiteral("/new")).removeRecursively();
    InstallJournal::step();
    QDir(dir + QStringLiteral("/kept")).removeRecursively();
    InstallJournal::step();
    QFile::remove(dir + QStringLiteral("/journal"));
    QFile::remove(dir + QStringLiteral("/journal.tmp"));
    InstallJournal::step();
    QDir().rmdir(dir);
    DurableFiles::syncParent(dir);
}

QByteArray readFd(int fd, bool* ok)
{
    struct stat st;
    *ok = ::fstat(fd, &st) == 0 && st.st_size <= kMaxJournalSize;
    QByteArray data;
    if (!*ok)
        return data;
    data.resize(static_cast<int>(st.st_size));
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t n = ::pread(fd, data.data() + done, static_cast<size_t>(data.size() - done), done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *ok = false;
            return QByteArray();
        }
        done += n;
    }
    return data;
}

QString absoluteClean(const QString& path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

} // namespace

InstallJournal::InstallJournal(const QString& installDir)
    : m_InstallDir(absoluteClean(installDir))
    , m_Dir(directoryOf(m_InstallDir))
    , m_Fd(-1)
    , m_NextName(0)
{
}

InstallJournal::~InstallJournal()
{
    // Without commit() or rollBack() the journal stays for the next start.
    closeJournal();
}

QString InstallJournal::directoryOf(const QString& installDir)
{
    return absoluteClean(installDir) + QLatin1Char('/') + QLatin1String(kDirName);
}

bool InstallJournal::ensureOpen(QString* error)
{
    if (m_Fd >= 0)
        return true;
    const QString journal = m_Dir + QStringLiteral("/journal");
    if (lexists(journal) || !QDir(m_Dir + QStringLiteral("/kept")).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
        *error = QObject::tr("An interrupted update left its journal in %1; it must be resolved first").arg(m_Dir);
        return false;
    }
    QDir(m_Dir + QStringLiteral("/new")).removeRecursively();
    if (!QDir().mkpath(m_Dir + QStringLiteral("/kept")) || !QDir().mkpath(m_Dir + QStringLiteral("/new"))) {
        *error = QObject::tr("Could not create the update journal directory %1").arg(m_Dir);
        return false;
    }
    // Locked and complete before it appears under its name, so a recovery
    // started meanwhile never sees a journal of a living session unlocked.
    const QString fresh = m_Dir + QStringLiteral("/journal.tmp");
    const int fd = ::open(native(fresh).constData(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0 || !writeAll(fd, sealed(kHeader))
        || ::link(native(fresh).constData(), native(journal).constData()) != 0) {
        *error = QObject::tr("Could not create the update journal %1: %2").arg(journal, errnoText());
        if (fd >= 0)
            ::close(fd);
        QFile::remove(fresh);
        return false;
    }
    QFile::remove(fresh);
    DurableFiles::syncPath(m_Dir);
    DurableFiles::syncParent(m_Dir);
    m_Fd = fd;
    qDebug() << "Install journal opened" << journal;
    step();
    return true;
}

bool InstallJournal::appendLine(const QString& line, QString* error)
{
    if (writeAll(m_Fd, sealed(line.toUtf8())))
        return true;
    *error = QObject::tr("Could not write the update journal in %1: %2").arg(m_Dir, errnoText());
    return false;
}

bool InstallJournal::write(const RollbackData& record, QString* error)
{
    if (!ensureOpen(error))
        return false;
    const QDir install(m_InstallDir);
    const QDir dir(m_Dir);
    auto rel = [&install](const QString& path) { return install.relativeFilePath(absoluteClean(path)); };
    const QString installed = rel(record.op() == RollbackData::FILE_RENAME ? record.formerPath() : record.path());
    QString kept;
    QString op;
    switch (record.op()) {
    case RollbackData::DIR_CREATE: op = QStringLiteral("D"); break;
    case RollbackData::FILE_CREATE: op = QStringLiteral("C"); break;
    case RollbackData::FILE_REPLACE:
        op = QStringLiteral("R");
        kept = dir.relativeFilePath(absoluteClean(record.formerPath()));
        break;
    default:
        op = QStringLiteral("M");
        kept = dir.relativeFilePath(absoluteClean(record.path()));
        break;
    }
    if (!staysInside(installed) || (!kept.isNull() && !isKeptName(kept))) {
        *error = QObject::tr("Refusing to journal a change outside the installation: %1").arg(installed);
        return false;
    }
    QString line = op + QLatin1Char('\t') + QString::fromLatin1(QUrl::toPercentEncoding(installed, "/"));
    if (!kept.isNull())
        line += QLatin1Char('\t') + kept;
    if (!appendLine(line, error))
        return false;
    step();
    return true;
}

QString InstallJournal::newName(const char* sub, QString* error)
{
    if (!ensureOpen(error))
        return QString();
    return m_Dir + QLatin1Char('/') + QLatin1String(sub) + QLatin1Char('/') + QString::number(m_NextName++);
}

QString InstallJournal::newKeptPath(QString* error)
{
    return newName("kept", error);
}

QString InstallJournal::newStagingPath(QString* error)
{
    return newName("new", error);
}

bool InstallJournal::commit(QObject* reporter)
{
    if (m_Fd < 0)
        return true;
    QString error;
    if (!appendLine(QLatin1String(kCommit), &error)) {
        RollbackData::message(reporter, error);
        return false;
    }
    step();
    qDebug() << "Install journal committed" << m_Dir;
    removeAll(m_Dir);
    closeJournal();
    return true;
}

bool InstallJournal::rollBack(QObject* reporter)
{
    if (m_Fd < 0)
        return true;
    bool readable = false;
    const Parsed parsed = parse(readFd(m_Fd, &readable), m_InstallDir, m_Dir);
    if (!readable || !parsed.ok) {
        RollbackData::message(reporter, QObject::tr("The update journal %1 cannot be read back; it is left in place")
                                            .arg(m_Dir));
        closeJournal();
        return false;
    }
    QStringList warnings;
    undoEntries(parsed.entries, &warnings);
    for (const QString& warning : qAsConst(warnings))
        RollbackData::message(reporter, warning);
    if (keptStillNeeded(parsed.entries)) {
        RollbackData::message(reporter, QObject::tr("Not every original could be put back; they are kept in %1")
                                            .arg(m_Dir));
        closeJournal();
        return false;
    }
    QString error;
    if (::ftruncate(m_Fd, parsed.validLength) == 0 && appendLine(QLatin1String(kUndone), &error)) {
        step();
        removeAll(m_Dir);
    }
    closeJournal();
    return warnings.isEmpty();
}

InstallJournal::Recovery InstallJournal::recover(const QString& installDir, QStringList* report)
{
    const QString install = absoluteClean(installDir);
    const QString dir = directoryOf(install);
    const QString journal = dir + QStringLiteral("/journal");
    auto say = [report](const QString& line) {
        qDebug() << "Recovery:" << line;
        *report << line;
    };
    if (!QFileInfo(dir).isDir() || QFileInfo(dir).isSymLink())
        return NOTHING;
    if (!lexists(journal)) {
        if (!QDir(dir + QStringLiteral("/kept")).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
            say(QObject::tr("%1 holds originals of installed files but no update journal; nothing was changed and "
                            "it is left in place for you to check").arg(dir));
            return REFUSED;
        }
        // A session that died before it journalled anything.
        removeAll(dir);
        return NOTHING;
    }
    const int fd = ::open(native(journal).constData(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        say(QObject::tr("The update journal %1 cannot be opened (%2); nothing was changed and it is left in place")
                .arg(journal, errnoText()));
        return REFUSED;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        qDebug() << "Recovery: journal in use by a running update" << journal;
        return IN_USE;
    }
    bool readable = false;
    const QByteArray data = readFd(fd, &readable);
    const Parsed parsed = parse(data, install, dir);
    if (!readable || !parsed.ok) {
        ::close(fd);
        say(QObject::tr("The update journal %1 cannot be used (%2); nothing was changed and it is left in place "
                        "for you to check").arg(journal, readable ? parsed.problem : QObject::tr("unreadable")));
        return REFUSED;
    }
    if (parsed.ended) {
        removeAll(dir);
        ::close(fd);
        say(QObject::tr("Finished the clean-up of an update that had ended"));
        return COMPLETED;
    }
    QStringList warnings;
    const int undone = undoEntries(parsed.entries, &warnings);
    say(QObject::tr("An interrupted update of %1 was rolled back (%2 changes undone)").arg(install).arg(undone));
    for (const QString& warning : qAsConst(warnings))
        say(warning);
    if (keptStillNeeded(parsed.entries)) {
        ::close(fd);
        say(QObject::tr("Not every original could be put back; the journal and the originals are left in %1").arg(dir));
        return INCOMPLETE;
    }
    if (::ftruncate(fd, parsed.validLength) == 0 && writeAll(fd, sealed(kUndone)))
        removeAll(dir);
    ::close(fd);
    return ROLLED_BACK;
}

void InstallJournal::step()
{
    static int steps = 0;
    ++steps;
    qDebug() << "Journal step" << steps;
#ifdef VX_TEST_HOOKS
    static const int killAt = qEnvironmentVariableIntValue("VX3_TEST_KILL_AT");
    if (killAt > 0 && steps == killAt)
        ::kill(::getpid(), SIGKILL);
#endif
}

void InstallJournal::closeJournal()
{
    if (m_Fd >= 0)
        ::close(m_Fd);
    m_Fd = -1;
}
