#pragma once

#include <QList>
#include <QStringView>

// One update of the instrument's output item, read as the plot needs it.
struct ParsedLine
{
    enum class Kind {
        Data,     // numbers: x (with point numbers) and one value per trace
        Accepted, // "OK": a command was taken, a run starts or ends here
        Refused,  // "Error ...": a command was refused
        Unparsed  // anything else; counted, never plotted
    };

    Kind kind = Kind::Unparsed;
    double x = 0.0;       // the point number; only with point numbers on
    QList<double> values; // one per trace
};

// Traces a line gives at most. A line of thousands of points would otherwise make every row
// of the window that large: the window's memory stays bounded by its number of lines.
constexpr qsizetype kMaximumTraces = 64;

// Splits a data line at the separator the line itself uses: "," when it has one, else a tab,
// else ";", else runs of spaces. With pointNumbers the first field is x and is not a trace.
// Values beyond the first kMaximumTraces are left out, unread. A field that is not a finite
// number in the C locale's notation makes the whole line Unparsed.
ParsedLine parseLine(QStringView line, bool pointNumbers);
