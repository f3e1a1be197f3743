// libdravik: line files with backup, text splitting, parameter parsing, the text codec
// and the single-instance guard. All free functions, global namespace.
#ifndef TOLVANE_DRAVIK_TOOLS_H
#define TOLVANE_DRAVIK_TOOLS_H

#include <map>
#include <string>
#include <vector>

// Line files: one element per non-empty line, each ending in "\n". Both append / overwrite
// the caller's vector by pointer.
bool ReadFile(std::vector<std::string>* vt_conf, const char* fileName);
bool WriteFile(std::vector<std::string>* vt_conf, const char* fileName);

// Text splitting and trimming. SplitByComas and Split append to `result`.
void SplitByComas(std::string& source, std::vector<std::string>& result, char split);
void Split(std::string source, std::vector<std::string>& result);
std::string Trim(std::string& str);
std::string TrimLine(std::string src);
std::string AddSlash(std::string& str);
std::string MakePath(std::string& path, std::string file);

// Parameter text: CR LF separated key=value lines into an ordered map.
bool ProcParam(char* param, std::map<std::string, std::string>& dictParam);
std::string GetValue(std::string key, std::map<std::string, std::string>& dictParam);

// Two bytes to three characters; not RFC 4648. `chdes` must hold 3*ceil(n/2)+1 bytes
// for encoding and 2*floor(m/3)+1 bytes for decoding.
void Base64Encode(char* chsrc, char* chdes);
void Base64_DecodeStr(const char* chsrc, char* chdes);

// Single-instance guard: 0 locked and id written, -1 held by another process,
// 1 cannot open or create, 2 lock failed otherwise.
int lockfile(int fd);
int IsRunning(const char* fileName);

// Lookup in the library's own settings file (not the process environment).
std::string GetEnvVar(std::string key, std::string defaultValue);

#endif
