#pragma once
// Files for tests: write one (with its missing parent directories), read one
// back, make a tree look old, sample content. A failure fails the running
// test.

#include <QByteArray>
#include <QMap>
#include <QString>

void writeFile(const QString& path, const QByteArray& content);
// The file's bytes, or "<missing>" when it cannot be read.
QByteArray readFile(const QString& path);
// Dates `path` and everything below it two hours back (links themselves,
// never what they point to).
void makeOld(const QString& path);
// Every file below `dir`, relative path to content; an installation's trust
// record (.vx3trust), which no release holds, is left out.
QMap<QString, QByteArray> fileTree(const QString& dir);
// `lines` numbered lines starting with `seed`: text that packs and patches well.
QByteArray sampleText(const char* seed, int lines);
