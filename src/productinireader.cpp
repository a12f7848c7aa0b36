#include "productinireader.h"

#include "updatefiles.h"

#include <QSettings>
#include <QStringList>

#include <limits>

namespace {

QStringList fieldsOf(const QSettings& ini, const QString& key)
{
    return ini.value(key).toString().split(QLatin1String(UpdateFiles::kFieldSeparator));
}

UpdateFiles::LineKind lineKind(const QString& section, const QString& key, int fieldCount)
{
    return UpdateFiles::lineKind(section.toStdString(), key.toStdString(), size_t(fieldCount));
}

bool isSafeRelativePath(const QString& path)
{
    return UpdateFiles::isSafeRelativePath(path.toStdString());
}

// Sizes travel as signed 64-bit byte counts (file sizes, download limits),
// so one beyond that range would turn negative there and lift every limit:
// such a line is invalid. A field that is no number at all (or overflows 64
// bits) reads as 0, as releases already published may rely on: a file whose
// installed copy is current is never fetched, and a download of it fails
// with "longer than the expected 0 bytes".
bool readSize(const QString& field, quint64* size)
{
    *size = field.toULongLong();
    return *size <= quint64(std::numeric_limits<qint64>::max());
}

} // namespace

ProductIniReader::Result ProductIniReader::read(const QString& path)
{
    m_Sections.clear();
    m_KeyCount = 0;
    m_InvalidSection.clear();
    m_DownloadNames.clear();

    QSettings ini(path, QSettings::IniFormat);
    const QStringList names = ini.childGroups();
    for (const QString& name : names) {
        ini.beginGroup(name);
        m_KeyCount += ini.allKeys().size();
        ini.endGroup();
    }
    if (m_KeyCount == 0)
        return Result::NoFiles;

    for (const QString& name : names) {
        Section section;
        section.name = name;
        ini.beginGroup(name);
        const bool valid = readSection(ini, &section);
        ini.endGroup();
        if (!valid) {
            m_Sections.clear();
            m_InvalidSection = name;
            return Result::InvalidLine;
        }
        m_Sections.append(section);
    }
    return Result::Ok;
}

const QList<ProductIniReader::Section>& ProductIniReader::sections() const
{
    return m_Sections;
}

QString ProductIniReader::invalidSection() const
{
    return m_InvalidSection;
}

bool ProductIniReader::readSection(QSettings& ini, Section* section)
{
    QStringList keys = ini.allKeys();
    // Patches first: a file line of any position finds its patch in the table.
    for (auto it = keys.begin(); it != keys.end();) {
        if (UpdateFiles::isPatchKey(it->toStdString())) {
            if (!readPatch(ini, section->name, *it, &section->patches))
                return false;
            it = keys.erase(it);
        } else {
            ++it;
        }
    }

    if (section->name == QLatin1String(UpdateFiles::kDeleteSection)) {
        for (const QString& key : qAsConst(keys)) {
            if (!isSafeRelativePath(key))
                return false;
            DeleteItem item;
            item.path = key;
            item.recursive = ini.value(key).toInt() == UpdateFiles::kRecursiveDeletion;
            section->deletes.append(item);
        }
        return true;
    }

    for (const QString& key : qAsConst(keys)) {
        if (!readFile(ini, section->name, key, &section->files))
            return false;
    }
    return true;
}

bool ProductIniReader::readPatch(QSettings& ini, const QString& section, const QString& key,
                                 QHash<QString, QList<Patch>>* patches)
{
    const QStringList fields = fieldsOf(ini, key);
    // The patch key is a download name like any other; its fifth field only
    // links to a file line and is never used as a path.
    if (lineKind(section, key, fields.size()) != UpdateFiles::LineKind::Patch || !isSafeRelativePath(key)
        || !claimDownloadName(key))
        return false;
    Patch patch;
    patch.key = key;
    patch.hash = fields.at(0);
    if (!readSize(fields.at(1), &patch.size))
        return false;
    patch.baseHash = fields.at(2);
    (*patches)[fields.at(4)].append(patch);
    return true;
}

bool ProductIniReader::readFile(QSettings& ini, const QString& section, const QString& key,
                                QList<FileLine>* files)
{
    const QStringList fields = fieldsOf(ini, key);
    const UpdateFiles::LineKind kind = lineKind(section, key, fields.size());
    const bool packed = kind == UpdateFiles::LineKind::PackedFile;
    if (!packed && kind != UpdateFiles::LineKind::PlainFile)
        return false;

    FileLine line;
    line.download.section = section;
    line.download.name = key;
    line.download.hash = fields.at(0);
    if (!readSize(fields.at(1), &line.download.size))
        return false;
    line.replace.name = key;
    line.replace.size = line.download.size;
    line.packed = packed;
    if (packed) {
        line.replace.hash = fields.at(2);
        if (!readSize(fields.at(3), &line.replace.size))
            return false;
        line.replace.installName = fields.at(4);
    }
    if (!isSafeRelativePath(key)
        || (!line.replace.installName.isEmpty() && !isSafeRelativePath(line.replace.installName))
        || !claimDownloadName(key))
        return false;
    files->append(line);
    return true;
}

bool ProductIniReader::claimDownloadName(const QString& key)
{
    if (m_DownloadNames.contains(key))
        return false;
    m_DownloadNames.insert(key);
    return true;
}
