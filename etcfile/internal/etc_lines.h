// The INI library's line grammar for readers in this source tree that must
// see a file whole, every section and key in order with its line number,
// where the C interface gives one value per call: the package tool's
// manifest reader refuses unknown keys and repeated sections, which a
// lookup by name never meets. Not installed; the static library holds it.
#ifndef ETCFILE_ETC_LINES_H
#define ETCFILE_ETC_LINES_H

namespace etcfile {

enum class EtcLineKind { kSection, kKey };

struct EtcLine {
    int number = 0;  // from 1, every line of the file counted
    EtcLineKind kind = EtcLineKind::kKey;
    const char* name = "";   // the section's name, or the key (blanks around it cut)
    const char* value = "";  // a key's value: everything after '=', as it stands
    bool hasEquals = false;  // a key line with '=' (otherwise its value is "")
    bool cut = false;        // longer than 1023 characters: only those are given
};

// Returns false to stop the walk.
using EtcLineVisitor = bool (*)(void* context, const EtcLine& line);

// Reads pEtcFile from its first line and hands each section header and key
// line to visit, in order, as reads classify them; comments and empty lines
// are passed over. The texts live until visit returns.
// 0 read to the end or stopped by visit; -1 the file cannot be opened;
// -5 a read failed.
int etc_ForEachLine(const char* pEtcFile, EtcLineVisitor visit, void* context) noexcept;

}  // namespace etcfile

#endif  // ETCFILE_ETC_LINES_H
