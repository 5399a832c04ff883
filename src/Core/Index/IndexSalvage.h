#pragma once
// Rows read straight from the pages of a damaged SQLite file, the way
// SQLite's own recovery reads them. SQLite can only reach a table's rows
// from its root page, through the list of tables on the file's first page;
// a spoiled root, first page or header, or a file cut short, hides rows that
// still lie whole on their leaf pages. Here every tree is walked from the
// pages that still read, and the leaf pages no tree reaches are taken for
// the table whose columns their rows fit. Nothing read is trusted: the
// header's page size, reserved bytes and page count are checked against
// the pages, each cell of a page is read on its own, every row must fit the
// table it is given to, and the file's text is read, never run.

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "Core/Index/Database.h"
#include "Core/Index/LibraryDB.h"

namespace vintrelle {

struct SalvageResult {
    bool readable = false;    // the file holds pages of a database at all
    bool schemaRead = false;  // its list of tables read
    // The tables some of whose rows may be missing: a page or row of theirs
    // did not read, their tree led elsewhere, or pages that may have been
    // theirs did not read or are gone.
    std::set<std::string> incomplete;
};

// One row found: the columns of the wanted table its values are for, and
// the values. A whole row has every column, in the table's order; a row of
// an older declaration, or one whose overflow pages are lost, only those it
// holds. The row id's own column holds the row id.
using SalvageSink = std::function<void(const TableLayout& table, const std::vector<DBValue>& values)>;

// Hands every row of the tables named in `wanted` that the file at `path`
// still holds to `sink`: first the rows reached from the tables' roots, then
// those of leaf pages no tree reaches, for tables whose tree is damaged (or
// all, when the list of tables is lost). The layouts of `wanted` are the
// tables' own, whatever the file declares: its list of tables gives only
// where each tree begins and, for a table it declares otherwise (an older
// version's, with fewer columns), which of the wanted columns its values
// are. Reads the file only; a file that cannot be read gives nothing.
//
// `progress`, when given, is called every few hundred pages with the pages
// looked at so far and the pages the salvage looks at in all, over every
// pass; when it returns false the salvage stops at once: the result is then
// not readable and every wanted table incomplete, and the rows already
// handed on are to be thrown away.
SalvageResult salvageRows(const std::string& path, const std::vector<TableLayout>& wanted, const SalvageSink& sink,
                          const std::function<bool(uint64_t done, uint64_t total)>& progress = {});

}  // namespace vintrelle
