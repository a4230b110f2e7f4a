#pragma once

#include <string>
#include <vector>

// The paths a manifest records for the entries of a directory tree: relative
// to the directory a restore writes into, their parts separated by single
// slashes ("db/base/1/123"). A restore creates each part in turn under the
// output directory, so every part must be a plain name.

// What is wrong with path as a recorded path, in words that follow "the
// path ... "; empty when nothing is: it is empty, holds a NUL, starts with
// a slash (absolute), ends with one, or has an empty, "." or ".." part.
std::string relativePathProblem(const std::string& path);

// The parts of a path that relativePathProblem accepts.
std::vector<std::string> pathParts(const std::string& path);

// The path without its last part ("" for a path of one part), and the last
// part.
std::string parentPath(const std::string& path);
std::string lastPart(const std::string& path);

// True when inner is outer itself or lies below it ("a/b" is within "a",
// "ab" is not).
bool pathWithin(const std::string& inner, const std::string& outer);

// The path as a line can show it: bytes below 0x20, 0x7f and those of no
// valid UTF-8 sequence as \xHH, a backslash as \\.
std::string printablePath(const std::string& path);

// True when text is valid UTF-8 (what a manifest, a JSON text, can record).
bool validUtf8(const std::string& text);
