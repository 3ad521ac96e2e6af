#pragma once

#include <QList>
#include <QString>

// The first and last address a supply on the bus can have: 0 is the
// broadcast that no supply answers, and Modbus stops at 247.
constexpr int FirstSupplyAddress = 1;
constexpr int LastSupplyAddress = 247;

// The supplies an operator lists, as typed: addresses and ranges separated by
// commas or blanks, "1,5,17" or "1-4,9" (a trailing comma, as the address
// scan writes its result, is allowed). Returns them in the order given.
// Raises SystemError, naming the offending piece, for text that is not such a
// list, an address outside 1..247, a range that runs backwards, an address
// given twice or an empty list.
QList<int> ParseAddressList(const QString &text);

// The list written back: "1-4,9" for 1,2,3,4,9 (runs of three or more as ranges).
QString AddressListText(const QList<int> &addresses);
