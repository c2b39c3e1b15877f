// Every text the module shows: error messages and documentation, once.
#pragma once

namespace manifest {

// ---------------------------------------------------------------- errors

constexpr const char kArgumentCountText[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
constexpr const char kUnexpectedKeywordText[] = "%s() got an unexpected keyword argument '%U'";
constexpr const char kMultipleValuesText[] = "%s() got multiple values for keyword argument '%U'";
constexpr const char kArgumentTypeText[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U";
constexpr const char kSubclassRefusedText[] = "Subclasses of built-in types are not accepted; pass the built-in type itself.";
constexpr const char kUnsliceableText[] = "'%.200s' object is unsliceable";
constexpr const char kCannotImportNameText[] = "cannot import name %S";
constexpr const char kNameNotDefinedText[] = "name '%U' is not defined";
constexpr const char kInterpreterChangeText[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
constexpr const char kReinitialisationText[] =
    "Module 'manifest' has already been imported. Re-initialisation is not supported.";
constexpr const char kVersionMismatchText[] =
    "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d";
constexpr const char kMismatchPrefix[] = "Integrity checksum mismatch: stored=";
constexpr const char kMismatchMiddle[] = "... recomputed=";
constexpr const char kMismatchSuffix[] = "... \u2014 data may be corrupt";
constexpr const char kInitTracebackName[] = "init brimwick.output.manifest";

// ---------------------------------------------------------------- documentation

constexpr const char kModuleDoc[] =
    "Scan envelope with integrity checksum for corruption detection.\n"
    "\n"
    "The ``integrity_checksum`` (previously called ``manifest_hash``) is a SHA-256\n"
    "digest computed over the sorted finding hashes embedded in the scan output.\n"
    "It is an **integrity checksum** \u2014 useful for detecting *accidental* corruption\n"
    "(e.g., truncated writes, encoding errors) \u2014 but it is **not** tamper-proof\n"
    "verification.  Because the checksum is stored alongside the data it covers,\n"
    "anyone who modifies the findings can simply recompute and replace it.\n";

constexpr const char kClassDoc[] =
    "Top-level scan result container with integrity checksum.\n"
    "\n"
    "    The ``integrity_checksum`` field detects accidental data corruption; it is\n"
    "    **not** cryptographic tamper verification (see module docstring).\n"
    "    ";

constexpr const char kChecksumDoc[] =
    "Compute a SHA-256 integrity checksum over sorted finding hashes.\n"
    "\n"
    "    This detects accidental corruption (truncated files, encoding errors)\n"
    "    but is **not** a tamper-proof seal \u2014 the checksum is embedded alongside\n"
    "    the data, so anyone modifying findings can recompute it.\n"
    "    ";

constexpr const char kFindingsWithExplanationsDoc[] = "Serialize findings with computed ``explanation`` injected.";

constexpr const char kFromDictDoc[] =
    "Deserialize a scan envelope from a dict.\n"
    "\n"
    "        Args:\n"
    "            data: Serialized envelope dict.\n"
    "            verify: If True, verify integrity checksum. Raises ValueError if\n"
    "                the stored checksum doesn't match the recomputed value,\n"
    "                indicating possible data corruption.\n"
    "        ";

}  // namespace manifest
