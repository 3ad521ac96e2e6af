#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

struct ModelEntry;

// What Home Assistant's MQTT discovery is told about one bench.
struct DiscoveryBench {
    QString prefix;          // the bridge's topics: PREFIX/BENCH/ADDR/...
    QString bench;
    QString discoveryPrefix; // the config topics' first level
    QString manufacturer;
    QString version;         // psuctl's
    struct Supply {
        int address;
        const ModelEntry *model;
    };
    QVector<Supply> supplies;
};

struct RetainedMessage {
    QString topic;
    QByteArray payload;
};

// The retained config messages that announce every supply of the bench: per
// supply a device with sensors for voltage, current and power, a switch for
// the output and numbers for the voltage and current setpoints. Topics are
// DISCOVERY/COMPONENT/NODE/ADDR-KEY/config, NODE naming the prefix and the
// bench (DiscoveryNode).
QVector<RetainedMessage> DiscoveryMessages(const DiscoveryBench &bench);

// "psuctl-psu-bench3": the prefix and the bench, each with every character
// but a letter or digit written as _ and its UTF-8 bytes in hex ("b.1" is
// "b_2e1"), so no two pairs give the same node, and unique ids built on it
// cannot collide between benches.
QString DiscoveryNode(const QString &prefix, const QString &bench);

// The filter that matches every config topic of this bench.
QString DiscoveryFilter(const DiscoveryBench &bench);

// The address a config topic of this bench is about, or 0 when the topic is
// none of this bench's.
int DiscoveryAddress(const DiscoveryBench &bench, const QString &topic);
