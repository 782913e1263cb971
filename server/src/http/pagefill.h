#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// Text made safe for HTML content and attribute values.
QString htmlEscape(const QString &text);

// The values of one page: "${name}" placeholders (escaped text) and "<!--__NAME__-->" markers
// (ready HTML such as table rows). Everything is put in place in a single pass over the page,
// so a value that happens to read like a placeholder stays as it is.
class PageFill
{
public:
    // The placeholder "${name}" gets the escaped text.
    PageFill &set(const QString &name, const QString &text);
    // The marker "<!--__NAME__-->" gets the HTML as it is.
    PageFill &setMarker(const QString &name, const QByteArray &html);
    bool has(const QString &name) const { return m_values.contains(name.toUtf8()); }

    // Unknown placeholders and markers are left untouched.
    QByteArray apply(const QByteArray &page) const;

private:
    QHash<QByteArray, QByteArray> m_values;
    QHash<QByteArray, QByteArray> m_markers;
};
