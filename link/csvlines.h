#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// One data line of a small CSV file of numbers: its number (from 1), the line
// as written and its fields, trimmed.
struct CsvLine {
    int number = 0;
    QString text;
    QStringList fields;
};

// The data lines of text: blank lines and lines starting with '#' are passed
// over, and so is a first line whose first field is not a number (a header).
QVector<CsvLine> CsvDataLines(const QString &text);
