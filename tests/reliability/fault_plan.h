// Injected file failures for the reliability tests: runs the real chunk walk in-process with
// one read, write or size query made to fail (or a read or write made short), records every call that
// reached the file layer, and says which bytes the file must hold afterwards, from the
// reference model's block writes.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "normalize/reference_model.h"
#include "support/files.h"

namespace testing_support {

enum class FileCall { Read, Write, SizeQuery };

struct Fault {
  FileCall call;
  int nth;            ///< which call of that kind fails, from 1
  int error = 0;      ///< the errno it fails with; 0 makes a read or write short instead
};

/// One call of the file layer as it was made; a size query has no offset or count.
struct CallRecord {
  FileCall call;
  int64_t offset = 0;
  int64_t count = 0;
  friend bool operator==(const CallRecord&, const CallRecord&) = default;
};

struct FaultRun {
  Bytes file;                     ///< the file afterwards
  uint16_t status = 0;            ///< the I/O status the tool would report
  std::vector<CallRecord> calls;  ///< every read, write and size query, the failing one last if any
};

/// LIST, "fmt ", a "data" chunk of four full 96000-byte blocks and a short last one of 30000
/// bytes, each block at another loudness, and a LIST after it.
const Bytes& MultiBlockWave();

/// Bytes a short transfer of count bytes moves: a third, made odd so that a sample is torn.
/// The LD_PRELOAD shim uses the same rule.
int64_t ShortTransfer(int64_t count);

/// Opens a copy of input as the tool does and runs the format check and the normalizing walk,
/// with the fault injected when one is given.
FaultRun RunWalkWithFault(const Bytes& input, const std::optional<Fault>& fault);

/// Calls of one kind in a trace.
int CountCalls(const std::vector<CallRecord>& calls, FileCall kind);

/// The file after a run that met the failing call: the original, with the model's bytes for
/// every write that came before it in the undisturbed run.
Bytes ExpectedAfterFault(const Bytes& input, const ModelResult& model,
                         const std::vector<CallRecord>& undisturbed, const Fault& fault);

/// How many calls the undisturbed run made up to and including the failing one.
std::size_t CallsUpToFault(const std::vector<CallRecord>& undisturbed, const Fault& fault);

}  // namespace testing_support
