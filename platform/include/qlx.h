// The middleware client interface: records and calls of the message broker.
//
// A program registers as a business element (qlxSPIInitialize) or a client
// (qlxClientInitialize), gets and puts messages under units of work, reads the workflow kept
// with a message's theme, reports failed messages to the element's error profile and writes
// to the middleware log. Every record starts from its default image (the kQlx...Default
// constants below). Calls return non-zero on success and 0 on failure, after which
// qlxGetLastError describes the failure; qlxWriteLog is the exception (0 is success).
//
// Layout: every integer field is exactly 32 bits and every address field is pointer-sized.
// On an ILP32 host each offset and size is the one the middleware documents (checked below);
// on LP64 the fields after an address shift. Nothing outside a process depends on the
// in-memory image.
#ifndef QLX_H
#define QLX_H

#include <stddef.h>
#include <stdint.h>

extern "C" {

typedef uint32_t QLXHANDLE;
typedef unsigned char QLXMSGID[24];

// A buffer field. Owned 1: the middleware allocated Data and only qlxFreeBuffer releases it.
// Owned 0: the data belongs to the program.
struct QLXBUFFER {
  uint32_t Owned;
  uint32_t Length;
  void* Data;
};

struct QLXTIMESTAMP {
  int32_t TimeStampSec;
  int32_t TimeStampMillisec;
};

// Message descriptor: travels beside every message body.
struct QLXMSG {
  char Signature[4];  // "BXMD"
  int32_t Version;    // 2
  int32_t MsgType;
  int32_t Priority;
  int32_t Persistence;
  int32_t Format;  // -1 whenever a format is given by name
  int32_t Feedback;
  int32_t Expiry;
  int32_t CodePage;
  int32_t Encoding;
  QLXMSGID MsgId;
  QLXMSGID CorrelId;
  int32_t Status;  // kQlxStatusWorkflowFollows while a hop follows this one
  uint32_t MsgLength;
  QLXBUFFER MsgBuffer;
  uint32_t TagLength;
  QLXBUFFER TagBuffer;
  int32_t BackoutCount;  // -1 when the middleware gave none
  QLXTIMESTAMP TimeStamp;
  char FormatName[132];  // NUL-padded; a 132-character name has no terminator
};

enum { kQlxFormatNameLength = 132, kQlxNameLength = 132, kQlxMsgIdLength = 24 };
enum { kQlxStatusWorkflowFollows = 0x4 };

// Get options.
struct QLXGETOPT {
  char Signature[4];  // "BXGO"
  int32_t Version;    // 2
  uint32_t Options;   // kQlxGet... bits
  int32_t Wait;       // milliseconds; kQlxWaitUnlimited for no limit
  uint32_t MatchWord;
  QLXMSGID MsgId;
  QLXMSGID CorrelId;
  unsigned char Reserved[284];
};

enum : uint32_t {
  kQlxGetMatchMsgId = 0x1,     // only a message with MsgId
  kQlxGetMatchCorrelId = 0x2,  // only a message with CorrelId
  kQlxGetWait = 0x8,           // wait up to Wait milliseconds
  kQlxGetNoCorrel = 0x10,
  kQlxGetAnyTheme = 0x20,
  kQlxGetBrowse = 0x40,  // peek: leave the message on its queue
  kQlxGetThemeOnly = 0x80,
  kQlxGetTheme = 0x100,  // only a message of the given theme
  kQlxGetTake = 0x2000,  // take the message even with kQlxGetBrowse (a serving element's get)
  kQlxGetTemplate = 0x40000000,
};
enum : int32_t { kQlxWaitUnlimited = -2 };

// Put options.
struct QLXPUTOPT {
  char Signature[4];  // "BXPO"
  int32_t Version;    // 2
  uint32_t Options;
  uint32_t MatchWord;
  QLXMSGID MsgId;
  QLXMSGID CorrelId;
  unsigned char Reserved[280];
};

enum : uint32_t {
  kQlxPutMsgId = 0x1,
  kQlxPutCorrelId = 0x2,
  kQlxPutNewCorrel = 0x10,
  kQlxPutNoReply = 0x40,
  kQlxPutContinue = 0x80,
  kQlxPutNotify = 0x800,  // deliver to the client that started the workflow
};

// Syncpoint record of a unit of work.
struct QLXSYNC {
  char Signature[4];  // "BXSY"
  int32_t Version;    // 1
  int32_t Reserved;
  int32_t SyncType;  // 1 local unit of work, 0 none; the image holds -2
};
typedef const QLXSYNC* QLXSYNCP;

// Error detail: opaque to the system; rendered by qlxFormatError.
struct QLXERRDETAIL {
  int32_t Facility;
  int32_t Code;  // the reason (or sub-reason) code
  int32_t CallType;
  int32_t Reserved;
  char Text[208];
};

// Last error of the calling process.
struct QLXERROR {
  uint32_t Flags;  // bit 0: Reason filled, bit 1: SubReason filled
  QLXERRDETAIL Reason;
  QLXERRDETAIL SubReason;
};
enum : uint32_t { kQlxErrorReason = 0x1, kQlxErrorSubReason = 0x2 };
enum : int32_t { kQlxReasonSuppressed = 26, kQlxSubReasonNotSuppressed = 42 };

// Connection record: the business element or client name.
struct QLXADDR {
  char Signature[4];  // "BXAD"
  int32_t Version;    // 1
  char Name[132];
  unsigned char Reserved[8];
};

// Service record: the service a request is put to.
struct QLXSERVICE {
  char Signature[4];  // "BXSV"
  int32_t Version;    // 1
  char Name[132];
  unsigned char Reserved[4];
};

// Error-profile options.
struct QLXEPOPT {
  char Signature[4];  // "XCEP"
  int32_t Version;    // 1
  uint32_t Options;
  unsigned char Reserved1[132];
  uint32_t DefaultActions;  // out: the actions the profile requested
  unsigned char Reserved2[16];
  uint32_t ActionsPerformed;  // out: the actions the middleware carried out
};
enum : uint32_t { kQlxEpoptReport = 0x20 };
// Error-profile action bits (the stand-in's meaning): keep the message on the element's
// error queue, raise an alert, ... 32 means that every action was cleared by the exit.
enum : uint32_t {
  kQlxActionStore = 0x1,
  kQlxActionAlert = 0x2,
  kQlxActionLog = 0x4,
  kQlxActionTrace = 0x8,
  kQlxActionRetry = 0x10,
  kQlxActionNone = 0x20,
  kQlxActionStop = 0x40,
};

// Exception record handed to the error profile.
struct QLXEXCEPTION {
  char Signature[4];  // "XCEX"
  int32_t Version;    // 2
  uint32_t Flags;     // kQlxExc... bits
  int32_t Reserved1[2];
  int32_t OriginVersion;  // 1
  char Origin[596];
  int32_t ContextVersion;  // 1
  char Context[408];
  int32_t ErrorVersion;  // 1
  QLXERROR Error;
  int32_t CallType;  // 0: reported by the application
  char Reserved2[132];
  int32_t TextVersion;  // 1
  QLXBUFFER TextBuffer;
  uint32_t TextLength;
};
enum : uint32_t { kQlxExcError = 0x8, kQlxExcText = 0x10 };

// Log record passed to qlxWriteLog.
struct QLXLOG {
  char Signature[4];  // "XCLD"
  int32_t Version;    // 1
  uint32_t Severity;  // 0 INFO, 1 WARNING, 2 ERROR, 3 SEVERE
  int32_t Reserved;   // the image holds 4; the writer sets 0
  const char* Text;   // terminated
  unsigned char Reserved2[16];
};

// ---- Exit interface: the error-action exit a business element may name. ----

struct QLXXCTL;
typedef int (*QLXXALLOCFN)(uint32_t handle, uint32_t flags, uint32_t size, void** result);
typedef int (*QLXXFREEFN)(uint32_t handle, void* storage);
typedef int (*QLXXEXCFN)(unsigned long, unsigned long, unsigned long, unsigned long,
                         unsigned long, unsigned long, unsigned long, unsigned long,
                         unsigned long, unsigned long);

// Services the middleware lends an exit or a directory call: storage for an exit, the
// exception handler of a directory call.
struct QLXXSERVICES {
  QLXXALLOCFN Allocate;
  QLXXFREEFN Release;
  void* Reserved2;
  void* Reserved3;
  QLXXEXCFN ExceptionHandler;
  void* Reserved5;
  void* Reserved6;
  void* Reserved7;
};

// Exit control block (also the control block of a directory call).
struct QLXXCTL {
  int32_t Version;  // 1
  uint32_t Handle;  // passed back to the services
  int32_t Type;     // 3 for a directory call
  int32_t Reserved3;
  void* WorkArea;  // the exit's own storage
  int32_t Reserved5;
  int32_t Reserved6;
  QLXXSERVICES* Services;
  void* Context;  // the directory interface of a directory call
};

struct QLXCONFIG;  // the middleware's configuration; exits receive it opaque

// Error profile: the actions the middleware would apply to a failure.
struct QLXERRPROFILE {
  int32_t Version;
  uint32_t Actions;
  unsigned char Reserved[420];
};
enum { kQlxErrProfileSize = 428 };

// Exception detail of one failure handed to an exit.
struct QLXEXCDTL {
  int32_t Version;
  uint32_t Flags;  // kQlxExcDtl... bits
  QLXEXCEPTION* Exception;
  QLXERRPROFILE* Profile;
};
enum : uint32_t {
  kQlxExcDtlNoStore = 0x1,
  kQlxExcDtlNoAlert = 0x2,
  kQlxExcDtlNoLog = 0x4,
  kQlxExcDtlPeek = 0x8,
};

// What an exit asks the middleware to do.
struct QLXEXCACT {
  int32_t Version;
  uint32_t Flags;  // kQlxExcActProfile: apply Profile instead of the element's
  unsigned char Reserved[84];
  QLXERRPROFILE* Profile;
};
enum : uint32_t { kQlxExcActProfile = 0x800 };

typedef int (*QLXEXITINITFN)(QLXXCTL* xctl, QLXCONFIG* config, unsigned long reserved);
typedef int (*QLXEXITTERMFN)(QLXXCTL* xctl, unsigned long reserved);
typedef int (*QLXEXITANALYSEFN)(QLXXCTL* xctl, QLXEXCDTL* detail, QLXEXCACT* action);

struct QLXEXITFUNCS {
  QLXEXITINITFN Init;
  QLXEXITTERMFN Term;
  QLXEXITANALYSEFN Analyse;
};

// Exit definition record, returned by the exit library's entry point qlxExitEntry.
struct QLXEXITDEF {
  char Signature[4];  // "XCXT"
  int32_t Version;    // 1
  int32_t Class[6];   // the exit's classification: 5, 3, 1, 1, 2, 3
  const QLXEXITFUNCS* Functions;
};
typedef int (*QLXEXITENTRYFN)(void** definition);

// Call types as the exception record and the exit see them.
enum : int32_t {
  kQlxCallApplication = 0,
  kQlxCallPutRequest = 1,
  kQlxCallGetRequest = 2,
  kQlxCallPutResponse = 3,
  kQlxCallGetResponse = 4,
  kQlxCallInitialize = 8,
  kQlxCallTerminate = 9,
  kQlxCallCommit = 10,
  kQlxCallRollback = 11,
  kQlxCallFreeBuffer = 12,
  kQlxCallCloseHandle = 13,
  kQlxCallWriteLog = 15,
  kQlxCallQueryTheme = 22,
  kQlxCallBuildTheme = 23,
  kQlxCallReportError = 25,
  kQlxCallDirectory = 27,
};

// ---- Default images ----
inline constexpr QLXMSG kQlxMsgDefault = {
    {'B', 'X', 'M', 'D'}, 2, 0, -2, -2, -2, -2, -2, -2, -2, {}, {}, 0, 0, {0, 0, nullptr},
    0, {0, 0, nullptr}, -1, {0, 0}, {}};
inline constexpr QLXGETOPT kQlxGetOptDefault = {
    {'B', 'X', 'G', 'O'}, 2, kQlxGetTemplate, kQlxWaitUnlimited, 0, {}, {}, {}};
inline constexpr QLXPUTOPT kQlxPutOptDefault = {{'B', 'X', 'P', 'O'}, 2, kQlxGetTemplate, 0,
                                                {}, {}, {}};
inline constexpr QLXSYNC kQlxSyncDefault = {{'B', 'X', 'S', 'Y'}, 1, 0, -2};
inline constexpr QLXADDR kQlxAddrDefault = {{'B', 'X', 'A', 'D'}, 1, {}, {}};
inline constexpr QLXSERVICE kQlxServiceDefault = {{'B', 'X', 'S', 'V'}, 1, {}, {}};
inline constexpr QLXEPOPT kQlxEpOptDefault = {{'X', 'C', 'E', 'P'}, 1, 0, {}, 0, {}, 0};
inline constexpr QLXEXCEPTION kQlxExceptionDefault = {
    {'X', 'C', 'E', 'X'}, 2, 0, {0, 0}, 1, {}, 1, {}, 1, {}, 0, {}, 1, {0, 0, nullptr}, 0};
inline constexpr QLXLOG kQlxLogDefault = {{'X', 'C', 'L', 'D'}, 1, 0, 4, nullptr, {}};

// ---- Calls ----

// Registers the caller as the business element named in `addr`. `mode` is 1. On success
// writes the connection handle and the directory interface (a qlxDirInterface*, owned by
// the connection) and returns 1. `work` is an 852-byte zeroed work record.
int qlxSPIInitialize(const QLXADDR* addr, int32_t mode, QLXHANDLE* handle, void** directory,
                     void* work);
// Registers the caller as the client named in `addr`.
int qlxClientInitialize(const QLXADDR* addr, QLXHANDLE* handle);
// Ends the connection; an open unit of work is rolled back. Clears *handle.
int qlxTerminate(QLXHANDLE* handle);

// Takes the next request off the element's queue (or the next response off the client's
// queue). Fills `msg` (the body and tag buffers are owned by the middleware: release them
// with qlxFreeBuffer) and writes the message's theme handle to *theme. With a local unit
// of work the message is claimed until commit or rollback.
int qlxGetRequest(QLXHANDLE handle, QLXMSG* msg, QLXGETOPT* options, QLXSYNCP sync,
                  QLXHANDLE* theme);
int qlxGetResponse(QLXHANDLE handle, QLXMSG* msg, QLXGETOPT* options, QLXSYNCP sync,
                   QLXHANDLE* theme);
// Moves a message on to the next hop of the workflow kept with *theme (or, with
// kQlxPutNotify, to the client that started it). Fails at the end of the workflow.
int qlxPutResponse(QLXHANDLE handle, QLXMSG* msg, QLXPUTOPT* options, QLXSYNCP sync,
                   QLXHANDLE* theme);
// Starts a workflow: puts `msg` to the first hop of `service` and writes the new theme
// handle to *theme.
int qlxPutRequest(QLXHANDLE handle, const QLXSERVICE* service, QLXMSG* msg,
                  QLXPUTOPT* options, QLXSYNCP sync, QLXHANDLE* theme);
int qlxCommit(QLXHANDLE handle, QLXSYNCP sync);
int qlxRollback(QLXHANDLE handle, QLXSYNCP sync);

// Copies the last failure of the calling process.
int qlxGetLastError(QLXERROR* error);
// Renders one error detail as text (at most 400 bytes with the terminator). `mode` is 1.
// *length holds the room in `text` on entry and the text length on return.
int qlxFormatError(const QLXERRDETAIL* detail, int32_t mode, char* text, uint32_t* length);

enum : int32_t { kQlxQueryThemeId = 1, kQlxQueryWorkflow = 4 };
enum : uint32_t { kQlxItemThemeId = 1, kQlxItemWorkflow = 4 };
// Theme query: result->Data receives a list owned by the middleware (release with
// qlxFreeBuffer(handle, result)), result->Length its size. List layout: count at 8,
// items from 16; each item has its type at 8, its data length at 12 and its data at 16;
// the next item follows at 16 plus the data length rounded up to 4. A workflow item's data
// has the number of hops that remain at 4 and the next-hop record at 412 (application
// type at 0, client name at 137, business component name at 270).
int qlxQueryTheme(QLXHANDLE handle, QLXHANDLE theme, int32_t code, QLXBUFFER* result);

enum : int32_t { kQlxBuildInsert = 8, kQlxBuildReplace = 16 };
// Builds a new theme from `theme` whose remaining workflow gets the service named by the
// QLXSERVICE record in `service` inserted before it (8) or replacing it (16).
int qlxBuildTheme(QLXHANDLE handle, QLXHANDLE theme, int32_t option, const QLXBUFFER* service,
                  QLXHANDLE* newTheme);
// Releases a theme handle and clears it.
int qlxCloseHandle(QLXHANDLE handle, QLXHANDLE* theme);
// Releases a buffer the middleware allocated (Owned 1) and clears the field; a buffer of
// the program's own (Owned 0) is left alone. `handle` may be 0.
int qlxFreeBuffer(QLXHANDLE handle, QLXBUFFER* buffer);

// Appends the record's text to the middleware log. Returns 0 on success.
int qlxWriteLog(const QLXLOG* record);
// Hands a failed request to the element's error profile: the request is kept on the
// element's error queue with the exception text, the element's exit (if any) decides the
// actions. Fills options->DefaultActions and options->ActionsPerformed. Returns 1 when the
// report was accepted.
int qlxReportError(QLXHANDLE handle, QLXEPOPT* options, QLXMSG* msg, QLXEXCEPTION* exception,
                   QLXSYNCP sync, QLXHANDLE* context);
// Fills `error` from the ten arguments a directory exception handler receives and points
// *subError at its sub-reason detail. Returns 1.
int qlxStoreError(QLXERROR* error, QLXERRDETAIL** subError, unsigned long a1,
                  unsigned long a2, unsigned long a3, unsigned long a4, unsigned long a5,
                  unsigned long a6, unsigned long a7, unsigned long a8, unsigned long a9,
                  unsigned long a10);

}  // extern "C"

// Layout checks. On ILP32 every record has the middleware's documented size and offsets.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(QLXBUFFER) == 12);
static_assert(sizeof(QLXMSG) == 268);
static_assert(offsetof(QLXMSG, MsgId) == 40 && offsetof(QLXMSG, CorrelId) == 64);
static_assert(offsetof(QLXMSG, Status) == 88 && offsetof(QLXMSG, MsgLength) == 92);
static_assert(offsetof(QLXMSG, MsgBuffer) == 96 && offsetof(QLXMSG, TagLength) == 108);
static_assert(offsetof(QLXMSG, TagBuffer) == 112 && offsetof(QLXMSG, BackoutCount) == 124);
static_assert(offsetof(QLXMSG, TimeStamp) == 128 && offsetof(QLXMSG, FormatName) == 136);
static_assert(sizeof(QLXGETOPT) == 352 && offsetof(QLXGETOPT, Wait) == 12);
static_assert(offsetof(QLXGETOPT, MatchWord) == 16 && offsetof(QLXGETOPT, MsgId) == 20);
static_assert(offsetof(QLXGETOPT, CorrelId) == 44);
static_assert(sizeof(QLXPUTOPT) == 344 && offsetof(QLXPUTOPT, MatchWord) == 12);
static_assert(offsetof(QLXPUTOPT, MsgId) == 16 && offsetof(QLXPUTOPT, CorrelId) == 40);
static_assert(sizeof(QLXSYNC) == 16 && offsetof(QLXSYNC, SyncType) == 12);
static_assert(sizeof(QLXERROR) == 452 && offsetof(QLXERROR, SubReason) == 228);
static_assert(sizeof(QLXADDR) == 148 && offsetof(QLXADDR, Name) == 8);
static_assert(sizeof(QLXSERVICE) == 144 && offsetof(QLXSERVICE, Name) == 8);
static_assert(sizeof(QLXEPOPT) == 168 && offsetof(QLXEPOPT, DefaultActions) == 144);
static_assert(offsetof(QLXEPOPT, ActionsPerformed) == 164);
static_assert(sizeof(QLXEXCEPTION) == 1644 && offsetof(QLXEXCEPTION, OriginVersion) == 20);
static_assert(offsetof(QLXEXCEPTION, ContextVersion) == 620);
static_assert(offsetof(QLXEXCEPTION, ErrorVersion) == 1032);
static_assert(offsetof(QLXEXCEPTION, Error) == 1036);
static_assert(offsetof(QLXEXCEPTION, Error.Reason.Code) == 1044);
static_assert(offsetof(QLXEXCEPTION, CallType) == 1488);
static_assert(offsetof(QLXEXCEPTION, TextVersion) == 1624);
static_assert(offsetof(QLXEXCEPTION, TextBuffer) == 1628);
static_assert(offsetof(QLXEXCEPTION, TextLength) == 1640);
static_assert(sizeof(QLXLOG) == 36 && offsetof(QLXLOG, Text) == 16);
static_assert(sizeof(QLXXCTL) == 36 && offsetof(QLXXCTL, WorkArea) == 16);
static_assert(offsetof(QLXXCTL, Services) == 28 && offsetof(QLXXCTL, Context) == 32);
static_assert(sizeof(QLXXSERVICES) == 32 && offsetof(QLXXSERVICES, ExceptionHandler) == 16);
static_assert(sizeof(QLXERRPROFILE) == 428);
static_assert(offsetof(QLXEXCDTL, Flags) == 4 && offsetof(QLXEXCDTL, Exception) == 8);
static_assert(offsetof(QLXEXCDTL, Profile) == 12);
static_assert(offsetof(QLXEXCACT, Flags) == 4 && offsetof(QLXEXCACT, Profile) == 92);
static_assert(sizeof(QLXEXITDEF) == 36 && offsetof(QLXEXITDEF, Functions) == 32);
#endif
// On every host: the records free of addresses keep their sizes, and the integer fields
// before the first address keep their offsets.
static_assert(sizeof(QLXGETOPT) == 352 && sizeof(QLXPUTOPT) == 344 && sizeof(QLXSYNC) == 16);
static_assert(sizeof(QLXERROR) == 452 && sizeof(QLXADDR) == 148 && sizeof(QLXSERVICE) == 144);
static_assert(sizeof(QLXEPOPT) == 168 && sizeof(QLXERRPROFILE) == 428);
static_assert(offsetof(QLXMSG, MsgLength) == 92 && offsetof(QLXEXCEPTION, Error) == 1036);
static_assert(offsetof(QLXEXCEPTION, CallType) == 1488);

#endif  // QLX_H
