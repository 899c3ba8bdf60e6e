// The whole-output check of the transformation component: before anything of an engine
// output is put, the output must read as a sequence of frames from its first byte to its
// last. Reading frame by frame alone would put the first piece of output that is not
// framed at all (an engine run without the framing option) as a cut-off response.
#ifndef ZVR_FRAMECHECK_H
#define ZVR_FRAMECHECK_H

// 1 when `output` (borrowed, `length` bytes) is one or more frames, each its data length
// in decimal digits, one white-space byte and exactly that many data bytes; `frames` gets
// their number. 0 otherwise (also for an empty output), with ZVRerror set to ZVRM0005 or
// ZVRM0006 whose information names the offset and says to ask for framed output; `frames`
// is then 0. Nothing is raised on success.
int zvrCheckFrames(const void* output, unsigned long length, unsigned long& frames);

#endif  // ZVR_FRAMECHECK_H
