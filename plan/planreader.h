#pragma once

// Reading a plan file's TOML: the typed values, each refusal a PlanError
// with the file, the line and column of the value at fault, and the cause.
// The step kinds' readers (plan/steps/) read their keys with it.

#include "plan/plansteps.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <initializer_list>
#include <limits>
#include <toml++/toml.h>

struct ModelEntry;

class PlanReader
{
public:
    PlanReader(const QString &file, const QString &folder) : m_file(file), m_folder(folder) {}

    [[noreturn]] void fail(const toml::source_region &where, const QString &cause) const;
    [[noreturn]] void fail(const toml::node &node, const QString &cause) const { fail(node.source(), cause); }

    // Refuses keys of table not in allowed (a misspelt key would otherwise be
    // a limit silently left out).
    void onlyKeys(const toml::table &table, std::initializer_list<const char *> allowed, const QString &what) const;

    QString text(const toml::table &table, const char *key, bool required, const QString &what) const;
    // A number; low and high bound values that are not a model's (times,
    // counts, limits of checks): those of a supply are checked by inRange.
    std::optional<double> number(const toml::table &table, const char *key, bool required, const QString &what,
                                 double low = -std::numeric_limits<double>::infinity(),
                                 double high = std::numeric_limits<double>::infinity()) const;
    // A count or an address: a number, refused unless whole.
    std::optional<int> whole(const toml::table &table, const char *key, bool required, const QString &what,
                             double low, double high) const;
    std::optional<bool> flag(const toml::table &table, const char *key) const;
    const toml::array *array(const toml::table &table, const char *key) const;
    const toml::table &tableAt(const toml::node &node, const QString &what) const;

    // A value written to a supply ("voltage", "current", "ovp", "ocp",
    // "power") against every slot's model: the range set and the bridge hold
    // a value to as well.
    void inRange(const toml::node &node, const QString &key, double value, const QString &name) const;
    void inRange(const toml::table &table, const char *key, double value, const QString &name) const
    {
        inRange(*table.get(key), QLatin1String(key), value, name);
    }

    // "quantity": voltage or current, the setpoints a step can drive.
    Quantity quantity(const toml::table &table, const QString &what) const;
    OnFail onFail(const toml::table &table) const;
    // The [[...check]] list of a step, each check's quantity one of quantities.
    QVector<PlanCheck> checks(const toml::table &table, std::initializer_list<Quantity> quantities,
                              bool withStatistic) const;

    // A step of any kind (depth: how many loops and sweeps hold it).
    std::unique_ptr<const PlanStep> step(const toml::table &table, int depth) const;
    StepList steps(const toml::table &root, const char *key) const;

    QString folder() const { return m_folder; } // the plan file's, for the files it names
    QVector<const ModelEntry *> m_models;      // every slot's
    // A step that uses a reference instrument names it here: name -> kind ("dmm", "load").
    void usesReference(const QString &name, const QString &kind) const { m_references.insert(name, kind); }
    QMap<QString, QString> references() const { return m_references; }

private:
    PlanCheck check(const toml::table &table, std::initializer_list<Quantity> quantities, bool withStatistic) const;

    QString m_file;
    QString m_folder;
    mutable QMap<QString, QString> m_references;
};

// What a step kind's reader is handed: the step's table (its type, name and
// on_fail already read), the reader, its type and "a <type> step" for messages, and how
// many loops and sweeps hold it.
struct StepSource {
    const toml::table &table;
    const PlanReader &reader;
    QString type; // as written
    QString what;
    int depth;
};
