// Output formats: a readable table (default), JSON lines and CSV.
#pragma once
#include <cstdio>
#include <string>

#include "record.h"

namespace hydrix::cli {

enum class Format { Table, Json, Csv };

std::string valueText(const Value &v);
std::string errorField(const Record &r);  // "20/17666/0 no reply within 5 s"
std::string jsonLine(const Record &r);
std::string csvHeader();
std::string csvLine(const Record &r);
// The table of a set of records, with local time next to UTC.
std::string table(const Records &records);
// Prints records in the format; a table is printed as a whole, the others line by line.
void printRecords(FILE *out, Format format, const Records &records, bool header = true);

}  // namespace hydrix::cli
