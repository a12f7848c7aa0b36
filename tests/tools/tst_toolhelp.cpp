// Help that answers: every program and command prints its help on stdout
// with status 0 (what it does, its options, exit statuses, an example), and a
// wrong argument is named on stderr with a pointer to the help and status 2.

#include "toolrun.h"

#include <QRegularExpression>
#include <QtTest>

namespace {

// The command names of a tool's help: the first word of each line of its
// "Commands:" section.
QStringList commandsOf(const QByteArray& help)
{
    const QString text = QString::fromUtf8(help);
    const QString section =
        text.section(QStringLiteral("\nCommands:\n"), 1).section(QStringLiteral("\n\n"), 0, 0);
    QStringList names;
    const QRegularExpression line(QStringLiteral("^  ([a-z][a-z-]*) "), QRegularExpression::MultilineOption);
    for (auto it = line.globalMatch(section); it.hasNext();)
        names << it.next().captured(1);
    return names;
}

} // namespace

class TestToolHelp final : public QObject
{
    Q_OBJECT

private slots:
    void helpAnswers_data();
    void helpAnswers();
    void wrongArgumentsPointAtTheHelp_data();
    void wrongArgumentsPointAtTheHelp();
};

void TestToolHelp::helpAnswers_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("command"); // empty: the tool itself and each of its commands
    QTest::newRow("update") << QStringLiteral(UPDATE_BINARY) << QStringList{"--help"};
    QTest::newRow("vxserver") << QStringLiteral(VXSERVER_BINARY) << QStringList{"--help"};
    QTest::newRow("vxpublish") << QStringLiteral(VXPUBLISH_BINARY) << QStringList();
    QTest::newRow("vxpatch") << QStringLiteral(VXPATCH_BINARY) << QStringList();
    // Among other arguments, too.
    QTest::newRow("vxpublish release ... --help")
        << QStringLiteral(VXPUBLISH_BINARY) << QStringList{"release", "--version", "3", "--help"};
}

void TestToolHelp::helpAnswers()
{
    QFETCH(QString, program);
    QFETCH(QStringList, command);
    QList<QStringList> calls{command};
    if (command.isEmpty()) {
        const ToolRun tool = runTool(program, {"--help"});
        QCOMPARE(tool.status, 0);
        const QStringList names = commandsOf(tool.out);
        QVERIFY2(names.size() >= 4, tool.out.constData());
        calls = {{"--help"}};
        for (const QString& name : names)
            calls << QStringList{name, "--help"};
    }
    for (const QStringList& args : calls) {
        const ToolRun help = runTool(program, args);
        const QByteArray what = (QFileInfo(program).fileName() + ' ' + args.join(' ')).toUtf8();
        QVERIFY2(help.status == 0 && help.err.isEmpty(), what + ": " + help.err);
        for (const char* part : {"Usage: ", "\nExit status:\n  0 ", "\nExample:\n  "})
            QVERIFY2(help.out.contains(part), what + " lacks " + part + ":\n" + help.out);
        // Options with their defaults in parentheses, where there are options.
        if (help.out.contains("\nOptions"))
            QVERIFY2(help.out.contains(")\n"), what);
    }
}

void TestToolHelp::wrongArgumentsPointAtTheHelp_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("named");
    QTest::addColumn<QByteArray>("pointer");
    const QString server = QStringLiteral(VXSERVER_BINARY);
    const QString publish = QStringLiteral(VXPUBLISH_BINARY);
    const QString patch = QStringLiteral(VXPATCH_BINARY);
    QTest::newRow("vxserver") << server << QStringList{"--bogus", "1"}
                              << QByteArray("unknown argument '--bogus'")
                              << QByteArray("see 'vxserver --help'");
    QTest::newRow("vxpublish") << publish << QStringList{"bogus"} << QByteArray("unknown command 'bogus'")
                               << QByteArray("see 'vxpublish --help'");
    QTest::newRow("vxpublish release")
        << publish << QStringList{"release", "--bogus", "1"} << QByteArray("unknown argument '--bogus'")
        << QByteArray("see 'vxpublish release --help'");
    QTest::newRow("vxpublish sign") << publish << QStringList{"sign", "a", "b", "c"}
                                    << QByteArray("unexpected argument 'c'")
                                    << QByteArray("see 'vxpublish sign --help'");
    QTest::newRow("vxpatch") << patch << QStringList{"bogus"} << QByteArray("unknown command 'bogus'")
                             << QByteArray("see 'vxpatch --help'");
    QTest::newRow("vxpatch pack") << patch << QStringList{"pack", "--fast", "a", "b"}
                                  << QByteArray("unknown option '--fast'")
                                  << QByteArray("see 'vxpatch pack --help'");
}

void TestToolHelp::wrongArgumentsPointAtTheHelp()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(QByteArray, named);
    QFETCH(QByteArray, pointer);
    const ToolRun wrong = runTool(program, args);
    QCOMPARE(wrong.status, 2);
    QVERIFY2(wrong.err.contains(named) && wrong.err.contains(pointer), wrong.err.constData());
    QCOMPARE(wrong.out, QByteArray());
}

QTEST_GUILESS_MAIN(TestToolHelp)
#include "tst_toolhelp.moc"
