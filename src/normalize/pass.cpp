#include "normalize/pass.h"

#include "normalize/buffers.h"
#include "normalize/gain.h"
#include "normalize/progress.h"
#include "normalize/wave_file.h"

FileRec F;
ChunkHeader DATA;

void BUFWRITE() {
  Seek(F, POSW);
  // Only over bytes the file still holds, so that a file another process has cut short is
  // not grown back. The read of the next block, just made where this one ends, shows that
  // they are there when it brought its full count (a cut after it still goes unseen); before
  // the chunk's last block, which no read follows, the size is asked.
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
