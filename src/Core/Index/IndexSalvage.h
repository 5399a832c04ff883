#pragma once
// Rows read straight from the pages of a damaged SQLite file, the way
// SQLite's own recovery reads them. SQLite can only reach a table's rows
// from its root page, through the list of tables on the file's first page;
// a spoiled root, first page or header, or a file cut short, hides rows that
// still lie whole on their leaf pages. Here every tree is walked from the
// pages that still read, and the leaf pages no tree reaches are taken for
// the table whose columns their rows fit.

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
    // The tables some of whose rows may be missing: a page of theirs did not
    // read, or pages of unknown owner did not.
    std::set<std::string> incomplete;
};

// One row found: the layout its values follow (the file's own for the
// table, when its list of tables reads) and its values, the row id's own
// column holding the row id.
using SalvageSink = std::function<void(const TableLayout& table, const std::vector<DBValue>& values)>;

// Hands every row of the tables named in `wanted` that the file at `path`
// still holds to `sink`: first the rows reached from the tables' roots, then
// those of leaf pages no tree reaches, for tables whose tree is damaged (or
// all, when the list of tables is lost). The layouts of `wanted` tell a
// table's rows where the file no longer says which table a page belongs to.
// Reads the file only; a file that cannot be read gives nothing.
//
// `progress`, when given, is called every few hundred pages with the pages
// looked at so far and the pages the salvage looks at in all, over every
// pass; when it returns false the salvage stops at once: the result is then
// not readable and every wanted table incomplete, and the rows already
// handed on are to be thrown away.
SalvageResult salvageRows(const std::string& path, const std::vector<TableLayout>& wanted, const SalvageSink& sink,
                          const std::function<bool(uint64_t done, uint64_t total)>& progress = {});

}  // namespace vintrelle
