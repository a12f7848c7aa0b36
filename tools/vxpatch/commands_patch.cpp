// make-patch, apply-patch, detect and roundtrip: ensemble patches and the
// executable parsers on the command line.
//
// detect FILE prints the kind and detected length ("UNKNOWN 0" and exit 3
// for none); a multi-architecture Mach-O file gets one line per thin file
// the packer would store, "KIND LENGTH at OFFSET".
//
// roundtrip FILE runs the whole executable path an ensemble patch takes
// (detect, parse, trim, encode, write, serialise, read back, assemble) and
// compares the assembled bytes with the element, for each thin file of a
// multi-architecture file. Exit 0: identical; 1: a step refused the file
// ("refused: <status>") or the bytes differ ("differs at offset N"); 3: no
// executable of a known kind.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "disassembler.h"
#include "encoded_program.h"
#include "ensemble_patch.h"
#include "executable_elements.h"
#include "input_file.h"
#include "output_limit_option.h"

namespace vxtool {
namespace {

constexpr int kExitNotExecutable = 3;

int StatusExit(const char* what, vxpatch::Status status) {
  if (status == vxpatch::STATUS_OK) return kExitSuccess;
  ReportError(std::string(what) + ": " + vxpatch::StatusName(status));
  return kExitFailure;
}

int RunMakePatch(const Arguments& arguments) {
  if (arguments.size() != 3) return UsageError("make-patch", "make-patch takes three files");
  const vxpatch::Status status =
      vxpatch::CreateEnsemblePatch(arguments[0].c_str(), arguments[1].c_str(), arguments[2].c_str());
  return StatusExit("make-patch", status);
}

int RunApplyPatch(const Arguments& arguments) {
  OutputLimitOption limit_option;
  Arguments paths;
  for (size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    int status = kExitUsage;
    if (argument == "--limit") {
      if (!ParseLimitValue("apply-patch", arguments, &index, &limit_option, &status)) return status;
    } else if (argument.size() > 1 && argument[0] == '-') {
      return UsageError("apply-patch", "unknown option '" + argument + "'");
    } else {
      paths.push_back(argument);
    }
  }
  if (paths.size() != 3) return UsageError("apply-patch", "apply-patch takes three files");
  const size_t limit = EffectiveLimit(limit_option, FileSize(paths[0]) + FileSize(paths[1]));
  const vxpatch::Status status =
      vxpatch::ApplyEnsemblePatch(paths[0].c_str(), paths[1].c_str(), paths[2].c_str(), limit);
  if (status == vxpatch::STATUS_OUTPUT_LIMIT) {
    ReportFailure("apply-patch", limit);
    return kExitFailure;
  }
  return StatusExit("apply-patch", status);
}

int RunDetect(const Arguments& arguments) {
  if (arguments.size() != 1) return UsageError("detect", "detect takes one file");
  vxpatch::MappedFile file;
  vxpatch::InputStream stream;
  if (!OpenInput(arguments[0], &file, &stream)) return kExitFailure;
  vxpatch::ExecutableKind kind = vxpatch::EXE_UNKNOWN;
  size_t length = 0;
  const vxpatch::Status status = vxpatch::DetectExecutable(stream.Current(), stream.Remaining(), &kind, &length);
  std::vector<vxpatch::ExecutableElement> elements;
  if (status != vxpatch::STATUS_OK &&
      vxpatch::FindExecutableElements(stream.Current(), stream.Remaining(), &elements) == vxpatch::STATUS_OK &&
      !elements.empty()) {
    for (const vxpatch::ExecutableElement& element : elements) {
      std::printf("%s %llu at %llu\n", vxpatch::ExecutableKindName(element.kind),
                  static_cast<unsigned long long>(element.length), static_cast<unsigned long long>(element.offset));
    }
    return kExitSuccess;
  }
  std::printf("%s %zu\n", vxpatch::ExecutableKindName(kind), length);
  return status == vxpatch::STATUS_OK ? kExitSuccess : kExitNotExecutable;
}

int Refused(vxpatch::Status status) {
  std::printf("refused: %s\n", vxpatch::StatusName(status));
  return kExitFailure;
}

// One element: `bytes` holds at least the detected `length`.
int RoundtripElement(const uint8_t* bytes, size_t length, vxpatch::ExecutableKind kind) {
  std::unique_ptr<vxpatch::ParsedProgram> parsed;
  vxpatch::Status status = vxpatch::ParseExecutable(bytes, length, &parsed);
  if (status != vxpatch::STATUS_OK) return Refused(status);
  if (!vxpatch::TrimLabels(parsed.get())) return Refused(vxpatch::STATUS_TRIM_FAILED);
  std::unique_ptr<vxpatch::EncodedProgram> encoded = vxpatch::EncodeProgram(*parsed);
  parsed.reset();
  if (!encoded) return Refused(vxpatch::STATUS_GENERAL_ERROR);

  vxpatch::OutputStreamSet set;
  vxpatch::OutputStream serialised;
  status = vxpatch::WriteEncodedProgram(*encoded, &set);
  if (status != vxpatch::STATUS_OK) return Refused(status);
  encoded.reset();
  if (!set.SerializeSet(&serialised)) return Refused(vxpatch::STATUS_STREAM_ERROR);
  vxpatch::InputStreamSet read_set;
  if (!read_set.InitFromBuffer(serialised.Buffer(), serialised.Length()))
    return Refused(vxpatch::STATUS_STREAM_ERROR);
  std::unique_ptr<vxpatch::EncodedProgram> read_back;
  status = vxpatch::ReadEncodedProgram(&read_set, &read_back);
  if (status != vxpatch::STATUS_OK) return Refused(status);
  vxpatch::OutputStream assembled;
  status = vxpatch::AssembleProgram(read_back.get(), &assembled);
  if (status != vxpatch::STATUS_OK) return Refused(status);

  const size_t common = assembled.Length() < length ? assembled.Length() : length;
  size_t offset = 0;
  while (offset < common && assembled.Buffer()[offset] == bytes[offset]) ++offset;
  if (offset == common && assembled.Length() == length) {
    std::printf("exact %s %zu\n", vxpatch::ExecutableKindName(kind), length);
    return kExitSuccess;
  }
  std::printf("differs at offset %zu\n", offset);
  return kExitFailure;
}

int RunRoundtrip(const Arguments& arguments) {
  if (arguments.size() != 1) return UsageError("roundtrip", "roundtrip takes one file");
  vxpatch::MappedFile file;
  vxpatch::InputStream stream;
  if (!OpenInput(arguments[0], &file, &stream)) return kExitFailure;
  const uint8_t* bytes = stream.Current();

  vxpatch::ExecutableKind kind = vxpatch::EXE_UNKNOWN;
  size_t length = 0;
  if (vxpatch::DetectExecutable(bytes, stream.Remaining(), &kind, &length) == vxpatch::STATUS_OK)
    return RoundtripElement(bytes, length, kind);
  std::vector<vxpatch::ExecutableElement> elements;
  if (vxpatch::FindExecutableElements(bytes, stream.Remaining(), &elements) != vxpatch::STATUS_OK ||
      elements.empty()) {
    std::printf("not an executable of a known kind\n");
    return kExitNotExecutable;
  }
  // Thin files of a multi-architecture file, each on its own.
  int exit_status = kExitSuccess;
  for (const vxpatch::ExecutableElement& element : elements) {
    const uint8_t* thin = bytes + element.offset;
    if (vxpatch::DetectExecutable(thin, static_cast<size_t>(element.length), &kind, &length) != vxpatch::STATUS_OK ||
        RoundtripElement(thin, length, kind) != kExitSuccess)
      exit_status = kExitFailure;
  }
  return exit_status;
}

}  // namespace

void AddPatchCommands(CommandTable* table) {
  table->push_back({"make-patch", "OLD NEW PATCH", RunMakePatch});
  table->push_back({"apply-patch", "[--limit BYTES] OLD PATCH NEW", RunApplyPatch});
  table->push_back({"detect", "FILE", RunDetect});
  table->push_back({"roundtrip", "FILE", RunRoundtrip});
}

}  // namespace vxtool
