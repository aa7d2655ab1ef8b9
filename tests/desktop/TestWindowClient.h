#pragma once

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gtest/gtest.h>

namespace dravelin::test {

// The test window in its own process, driven over its standard input.
class TestWindow
{
public:
    TestWindow()
    {
        m_process.setProgram(QStringLiteral(DRAVELIN_TEST_WINDOW));
        m_process.start();
        EXPECT_TRUE(readLine(10000).startsWith("ready")) << "the test window did not start";
    }
    ~TestWindow()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
    }
    QJsonObject dump()
    {
        command("dump");
        return QJsonDocument::fromJson(readLine(3000)).object();
    }
    QString line() { return dump().value(QStringLiteral("line")).toString(); }
    void focus(const QString &widget)
    {
        command("focus " + widget.toUtf8());
        readLine(3000);
    }
    void setLine(const QString &text)
    {
        command("set " + text.toUtf8());
        readLine(3000);
    }
    // Selects the line's last `count` characters.
    void selectEnd(int count)
    {
        command("select " + QByteArray::number(count));
        readLine(3000);
    }

private:
    void command(const QByteArray &text) { m_process.write(text + '\n'); }
    QByteArray readLine(int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (!m_process.canReadLine() && timer.elapsed() < timeoutMs)
            m_process.waitForReadyRead(50);
        return m_process.readLine().trimmed();
    }
    QProcess m_process;
};

} // namespace dravelin::test
