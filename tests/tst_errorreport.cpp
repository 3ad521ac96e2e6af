#include "app/errorreport.h"

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

class ErrorReportTest : public QObject
{
    Q_OBJECT

private slots:
    void handlerErrorEndsHandlerAndShowsText()
    {
        QString shown;
        QTimer::singleShot(20, this, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                shown = box->text();
                box->close();
            }
        });
        bool reachedAfterError = false;
        RunHandler([&] {
            RaiseError(QStringLiteral("端口错误"));
            reachedAfterError = true;
        });
        QVERIFY(!reachedAfterError);
        QCOMPARE(shown, QStringLiteral("端口错误"));
    }

    void errorsUnderAnOpenBoxOpenNoSecondBox()
    {
        const int before = ShownMessages().count;
        // Different timers, as on the monitor panel: a timer whose own tick is
        // still running under the box is not delivered again, others are.
        QTimer failing[3];
        int failures = 0;
        for (QTimer &timer : failing) {
            connect(&timer, &QTimer::timeout, this, [&] {
                ++failures;
                RunHandler([] { RaiseError(QStringLiteral("串口未打开")); });
            });
            timer.start(10);
        }
        int boxesSeen = 0;
        QTimer closer;
        connect(&closer, &QTimer::timeout, this, [&] {
            if (QWidget *modal = QApplication::activeModalWidget()) {
                ++boxesSeen;
                modal->close();
            }
        });
        // Let several failing ticks run under the first box before closing it.
        QTimer::singleShot(300, this, [&] { closer.start(5); });
        QTRY_VERIFY_WITH_TIMEOUT(boxesSeen >= 2, 5000);
        for (QTimer &timer : failing)
            timer.stop();
        QTRY_VERIFY(QApplication::activeModalWidget() == nullptr);
        QVERIFY2(failures > boxesSeen + 5, qPrintable(QStringLiteral("%1 failures, %2 boxes")
                                                          .arg(failures).arg(boxesSeen)));
        QCOMPARE(ShownMessages().count - before, boxesSeen);
    }
};

QTEST_MAIN(ErrorReportTest)
#include "tst_errorreport.moc"
