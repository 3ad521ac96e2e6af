#pragma once

// A calibration's certificate: a self-contained HTML page laid out for A4
// paper, and a JSON record with the same content, named after the
// calibration's id. An as-left sweep that was not measured is stated as such,
// never shown.

#include <QString>
#include <QStringList>

struct CalibrationRecord;

QString CertificateHtml(const CalibrationRecord &record);
// Writes DIR/ID.html and DIR/ID.json, each whole or not at all; returns
// their paths. Raises SystemError naming the file and the cause.
QStringList WriteCertificate(const CalibrationRecord &record, const QString &dir);
