#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <memory>
#include <utility>

// Key and value pairs, in the order they are to be written.
using IniValues = QList<QPair<QString, QString>>;

// The keys of one section as they stood at one reading of the file.
class IniSection
{
public:
    IniSection() = default;
    // Values as they stand after the '=' with the surrounding blanks removed.
    explicit IniSection(IniValues entries) : m_entries(std::move(entries)) {}

    // The first key of that name, compared without regard to case; a value enclosed in
    // a matching pair of double or single quotes reads without them.
    QString ReadString(const QString& key, const QString& defaultValue = {}) const;
    // A missing key, or a value that is not a whole decimal number with an optional
    // sign within the range of int, reads as defaultValue.
    int ReadInteger(const QString& key, int defaultValue) const;

private:
    IniValues m_entries;
};

class IniSnapshot;

// A settings file in the Windows profile form: [section] headers followed by key=value
// lines, ';' starting a comment line. Every call reads the file afresh, and every write
// reads, changes and replaces it as a whole, so lines that someone else put there
// between two calls are kept.
//
// Names of sections and keys compare without regard to case (Cyrillic too) and without
// the blanks (space, tab) around them; the first of duplicated sections or keys is the
// one read and written. The file is Windows-1251, or UTF-16LE when it starts with that
// byte-order mark, and is written back in the form it was read.
//
// A write changes the key's line in place and leaves every other line byte for byte;
// a missing key goes after the last line of its section that is not blank, a missing
// section to the end of the file after one empty line. New lines end in CR LF.
class IniFile
{
public:
    explicit IniFile(QString path) : m_path(std::move(path)) {}
    const QString& Path() const { return m_path; }

    QString ReadString(const QString& section, const QString& key,
                       const QString& defaultValue = {}) const;
    int ReadInteger(const QString& section, const QString& key, int defaultValue) const;
    // One reading of the file for many keys; empty when the section is missing.
    IniSection ReadSection(const QString& section) const;
    // Each section once, in file order, spelled as its first header spells it.
    QStringList SectionNames() const;
    // One reading of the file for many sections.
    IniSnapshot Snapshot() const;

    // False, with the file untouched, when it cannot be read or replaced, or when a name
    // cannot stand in the file: an empty name, a line break in a name, a key holding
    // '=' or starting with '[' or ';'. A value is one line: a line break and whatever
    // follows it are dropped, since the rest would read back as lines of their own.
    bool WriteString(const QString& section, const QString& key, const QString& value);
    bool WriteInteger(const QString& section, const QString& key, int value);
    // All keys of one section in one replacement of the file.
    bool WriteStrings(const QString& section, const IniValues& values);

    // Removes every section of that name: the header and all lines up to the next
    // header. A missing section is no failure.
    bool EraseSection(const QString& section);

private:
    QString m_path;
};

// The file as one reading found it, for reading many of its sections: each section is
// found by its name at once, so that reading all of them takes time in proportion to
// the file's size. Names compare as IniFile compares them; a missing or unreadable file
// reads as an empty one.
class IniSnapshot
{
public:
    IniSnapshot();
    ~IniSnapshot();
    IniSnapshot(const IniSnapshot&);
    IniSnapshot& operator=(const IniSnapshot&);

    const QString& Path() const;
    // As IniFile::SectionNames gives them.
    QStringList SectionNames() const;
    // The first section of that name; empty when it is missing.
    IniSection Section(const QString& name) const;

private:
    friend class IniFile;
    struct Data;
    std::shared_ptr<const Data> m_data;
};
