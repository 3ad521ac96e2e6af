#include "widgets/errorreport.h"

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

    void differentErrorsUnderAnOpenBoxFollowOneAtATime()
    {
        const int before = ShownMessages().count;
        const QString portClosed = QStringLiteral("串口未打开");
        const QString emptyCount = QStringLiteral("'' is not a valid integer value");
        const QString sendFailed = QStringLiteral("向 COM2 写入数据失败");
        QStringList shown;
        int mostOpen = 0;
        bool raised = false;
        QTimer closer;
        connect(&closer, &QTimer::timeout, this, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            if (!raised) {
                // Under the first box, from a handler of its own: two new errors,
                // then a repeat of the open text and one of a waiting text.
                raised = true;
                QTimer::singleShot(0, this, [&] {
                    for (const QString &text : {emptyCount, sendFailed, portClosed, emptyCount})
                        RunHandler([&text] { RaiseError(text); });
                });
                return;
            }
            int open = 0;
            for (QWidget *widget : QApplication::topLevelWidgets())
                open += qobject_cast<QMessageBox *>(widget) && widget->isVisible();
            mostOpen = qMax(mostOpen, open);
            shown << box->text();
            box->close();
        });
        closer.start(5);
        RunHandler([&] { RaiseError(portClosed); });
        QCOMPARE(shown, (QStringList{portClosed, emptyCount, sendFailed}));
        QCOMPARE(mostOpen, 1);
        QCOMPARE(ShownMessages().count - before, 3);
    }
};

QTEST_MAIN(ErrorReportTest)
#include "tst_errorreport.moc"
