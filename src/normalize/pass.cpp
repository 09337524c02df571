#include "normalize/pass.h"

#include "normalize/buffers.h"
#include "normalize/gain.h"
#include "normalize/progress.h"
#include "normalize/wave_file.h"

FileRec F;
ChunkHeader DATA;

void BUFWRITE() {
  Seek(F, POSW);
  // Only over bytes the file still holds: a file that another process has cut short since
  // the block was read is never grown back.
  BlockOverwrite(F, BUF[BUFN].samples, BUF[BUFN].count);
  POSW = FilePos(F);
}

void BUFMAIN() {
  POSR = FilePos(F);
  POSW = FilePos(F);
  BUFN = 0;
  BUFREAD();
  MUL = BlockGain(BUF[0].peak);
  do {
    BUFREAD();
    BUFCALC();
    BUFWRITE();
    PROGRESS();
    // Once a transfer has failed nothing more reaches the file; the rest of the chunk
    // would only be read and scaled in vain.
  } while (BUF[BUFN].count != 0 && InOutRes == 0);
}
