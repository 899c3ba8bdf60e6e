// The message catalog: every operator message of the system as an identifier, a text and,
// for most entries, a user action.
//
// Each entry is three constants: ZVRID_<group><nnnn> (the identifier "ZVR" + group letters +
// four digits), ZVRTXT_<group><nnnn> (the text; texts with %s, %d, %ld or %ul are printf
// formats the raising code fills in first) and ZVRUA_<group><nnnn> (the user action, or
// nullptr where the entry has none). The catalog stores no severity: the raising code
// passes it; the comment above each entry names the severity and error class it is raised
// with, or says that no operation raises it. kZvrCatalog lists every entry for code that
// walks the catalog as a whole (its tests, the error-action exit).
#ifndef ZVR_CATALOG_H
#define ZVR_CATALOG_H

#include <cstddef>

// ---- Group R: session layer: connections, requests, responses, units of work ----

// ZVRR0001: ERROR, QuorError
inline constexpr const char* ZVRID_R0001 = "ZVRR0001";
inline constexpr const char* ZVRTXT_R0001 = "Unable to initialize Quor Server connection.";
inline constexpr const char* ZVRUA_R0001 = "Verify that the business element name is correct.";

// ZVRR0002: WARNING, QuorError
inline constexpr const char* ZVRID_R0002 = "ZVRR0002";
inline constexpr const char* ZVRTXT_R0002 = "Unable to get a request message.";
inline constexpr const char* ZVRUA_R0002 = nullptr;

// ZVRR0003: ERROR, QuorError
inline constexpr const char* ZVRID_R0003 = "ZVRR0003";
inline constexpr const char* ZVRTXT_R0003 = "Unable to commit transaction.";
inline constexpr const char* ZVRUA_R0003 = nullptr;

// ZVRR0004: ERROR, QuorError
inline constexpr const char* ZVRID_R0004 = "ZVRR0004";
inline constexpr const char* ZVRTXT_R0004 = "Unable to rollback transaction.";
inline constexpr const char* ZVRUA_R0004 = nullptr;

// ZVRR0005: ERROR, QuorError
inline constexpr const char* ZVRID_R0005 = "ZVRR0005";
inline constexpr const char* ZVRTXT_R0005 = "Unable to initialize Quor Client connection.";
inline constexpr const char* ZVRUA_R0005 = "Verify that the client name is correct.";

// ZVRR0006: WARNING, QuorError
inline constexpr const char* ZVRID_R0006 = "ZVRR0006";
inline constexpr const char* ZVRTXT_R0006 = "Unable to put a request message.";
inline constexpr const char* ZVRUA_R0006 = nullptr;

// ZVRR0007: SEVERE, QuorError
inline constexpr const char* ZVRID_R0007 = "ZVRR0007";
inline constexpr const char* ZVRTXT_R0007 = "Unable to commit transaction.";
inline constexpr const char* ZVRUA_R0007 = nullptr;

// ZVRR0008: SEVERE, QuorError
inline constexpr const char* ZVRID_R0008 = "ZVRR0008";
inline constexpr const char* ZVRTXT_R0008 = "Unable to rollback transaction.";
inline constexpr const char* ZVRUA_R0008 = nullptr;

// ZVRR0009: WARNING, QuorError
inline constexpr const char* ZVRID_R0009 = "ZVRR0009";
inline constexpr const char* ZVRTXT_R0009 = "Unable to put a response message.";
inline constexpr const char* ZVRUA_R0009 = nullptr;

// ZVRR0010: WARNING, QuorError
inline constexpr const char* ZVRID_R0010 = "ZVRR0010";
inline constexpr const char* ZVRTXT_R0010 = "Request was suppressed by Quor.";
inline constexpr const char* ZVRUA_R0010 =
    "Inspect your Quor configuration for configuration errors";

// ZVRR0011: WARNING, QuorError
inline constexpr const char* ZVRID_R0011 = "ZVRR0011";
inline constexpr const char* ZVRTXT_R0011 = "Request was suppressed by Quor.";
inline constexpr const char* ZVRUA_R0011 =
    "Inspect your Quor configuration for configuration errors";

// ZVRR0012: WARNING, ErrorADT, QuorError
inline constexpr const char* ZVRID_R0012 = "ZVRR0012";
inline constexpr const char* ZVRTXT_R0012 = "Response was suppressed by Quor.";
inline constexpr const char* ZVRUA_R0012 =
    "Inspect your Quor configuration for configuration errors";

// ZVRR0013: WARNING, QuorError
inline constexpr const char* ZVRID_R0013 = "ZVRR0013";
inline constexpr const char* ZVRTXT_R0013 = "Response was suppressed by Quor.";
inline constexpr const char* ZVRUA_R0013 =
    "Inspect your Quor configuration for configuration errors";

// ZVRR0014: WARNING, QuorError
inline constexpr const char* ZVRID_R0014 = "ZVRR0014";
inline constexpr const char* ZVRTXT_R0014 = "Unable to get a response message.";
inline constexpr const char* ZVRUA_R0014 = nullptr;

// ZVRR0015: SEVERE, QuorError
inline constexpr const char* ZVRID_R0015 = "ZVRR0015";
inline constexpr const char* ZVRTXT_R0015 = "Internal syncpoint error.";
inline constexpr const char* ZVRUA_R0015 = "Contact Velmar Technical Support";

// ZVRR0016: SEVERE, QuorError
inline constexpr const char* ZVRID_R0016 = "ZVRR0016";
inline constexpr const char* ZVRTXT_R0016 = "Internal syncpoint error.";
inline constexpr const char* ZVRUA_R0016 = "Contact Velmar Technical Support";

// ZVRR0017: not raised
inline constexpr const char* ZVRID_R0017 = "ZVRR0017";
inline constexpr const char* ZVRTXT_R0017 = "Unable to look up workflow.";
inline constexpr const char* ZVRUA_R0017 = "Contact Velmar Technical Support.";

// ZVRR0018: not raised
inline constexpr const char* ZVRID_R0018 = "ZVRR0018";
inline constexpr const char* ZVRTXT_R0018 = "Illegal workflow configuration.";
inline constexpr const char* ZVRUA_R0018 = "Contact Velmar Technical Support.";

// ZVRR0019: WARNING, ErrorADT
inline constexpr const char* ZVRID_R0019 = "ZVRR0019";
inline constexpr const char* ZVRTXT_R0019 =
    "Datagram reached end of workflow.  It was processed and discarded.";
inline constexpr const char* ZVRUA_R0019 = nullptr;

// ZVRR0020: not raised
inline constexpr const char* ZVRID_R0020 = "ZVRR0020";
inline constexpr const char* ZVRTXT_R0020 = "Unable to create a response.";
inline constexpr const char* ZVRUA_R0020 = nullptr;

// ZVRR0021: WARNING, QuorError
inline constexpr const char* ZVRID_R0021 = "ZVRR0021";
inline constexpr const char* ZVRTXT_R0021 = "Unable to get theme ID.";
inline constexpr const char* ZVRUA_R0021 = nullptr;

// ---- Group D: directory and workflow ----

// ZVRD0001: ERROR, QuorError
inline constexpr const char* ZVRID_D0001 = "ZVRD0001";
inline constexpr const char* ZVRTXT_D0001 = "Unable to look up workflow.";
inline constexpr const char* ZVRUA_D0001 = "Contact Velmar Technical Support.";

// ZVRD0002: ERROR, QuorError
inline constexpr const char* ZVRID_D0002 = "ZVRD0002";
inline constexpr const char* ZVRTXT_D0002 = "Illegal workflow configuration.";
inline constexpr const char* ZVRUA_D0002 = "Contact Velmar Technical Support.";

// ZVRD0003: ERROR, QuorError
inline constexpr const char* ZVRID_D0003 = "ZVRD0003";
inline constexpr const char* ZVRTXT_D0003 =
    "Unable to locate Dictionary record named ``%s'' in the Quor Directory";
inline constexpr const char* ZVRUA_D0003 =
    "Check to make sure the dictionary record is properly defined.";

// ZVRD0004: WARNING, QuorError
inline constexpr const char* ZVRID_D0004 = "ZVRD0004";
inline constexpr const char* ZVRTXT_D0004 =
    "Unable to locate Business Component named ``%s'' in the Quor Directory.";
inline constexpr const char* ZVRUA_D0004 = "None required; continuing.";

// ZVRD0005: WARNING, QuorError
inline constexpr const char* ZVRID_D0005 = "ZVRD0005";
inline constexpr const char* ZVRTXT_D0005 =
    "Unable to locate Quor Client named ``%s'' in the Quor Directory.";
inline constexpr const char* ZVRUA_D0005 = "None required; continuing.";

// ZVRD0006: ERROR, ErrorADT
inline constexpr const char* ZVRID_D0006 = "ZVRD0006";
inline constexpr const char* ZVRTXT_D0006 =
    "Unable to locate or invalid dictionary entry ``%s''.";
inline constexpr const char* ZVRUA_D0006 =
    "Define the Name/Value in the dictionary with the desired map name.";

// ZVRD0007: ERROR, QuorError
inline constexpr const char* ZVRID_D0007 = "ZVRD0007";
inline constexpr const char* ZVRTXT_D0007 =
    "Workflow contains an unrecognized application of type ``%ul''.";
inline constexpr const char* ZVRUA_D0007 = "Contact Velmar Technical Support.";

// ---- Group M: marshalling and framing ----

// ZVRM0001: ERROR, ErrorADT
inline constexpr const char* ZVRID_M0001 = "ZVRM0001";
inline constexpr const char* ZVRTXT_M0001 = "Unable to locate end of section ``%s''.";
inline constexpr const char* ZVRUA_M0001 =
    "Verify that the output format contains the required format.";

// ZVRM0002: ERROR, ErrorADT
inline constexpr const char* ZVRID_M0002 = "ZVRM0002";
inline constexpr const char* ZVRTXT_M0002 = "Unable to locate field tag ``%s''.";
inline constexpr const char* ZVRUA_M0002 =
    "Verify that the output format contains the required format.";

// ZVRM0003: not raised
inline constexpr const char* ZVRID_M0003 = "ZVRM0003";
inline constexpr const char* ZVRTXT_M0003 = "Missing or invalid data for tag ``%s''.";
inline constexpr const char* ZVRUA_M0003 =
    "Verify that the output format contains the required format.";

// ZVRM0004: ERROR, ErrorADT
inline constexpr const char* ZVRID_M0004 = "ZVRM0004";
inline constexpr const char* ZVRTXT_M0004 = "Unable to create a response to send.";
inline constexpr const char* ZVRUA_M0004 = nullptr;

// ZVRM0005: ERROR, ErrorADT
inline constexpr const char* ZVRID_M0005 = "ZVRM0005";
inline constexpr const char* ZVRTXT_M0005 = "User data length field is not terminated.";
inline constexpr const char* ZVRUA_M0005 = "Verify the message format and map definitions.";

// ZVRM0006: ERROR, ErrorADT
inline constexpr const char* ZVRID_M0006 = "ZVRM0006";
inline constexpr const char* ZVRTXT_M0006 = "User data length field is improperly terminated.";
inline constexpr const char* ZVRUA_M0006 = "Verify the message format and map definitions.";

// ZVRM0007: WARNING, ErrorADT
inline constexpr const char* ZVRID_M0007 = "ZVRM0007";
inline constexpr const char* ZVRTXT_M0007 = "User data length is zero.";
inline constexpr const char* ZVRUA_M0007 =
    "Verify the message format, map definitions, and Mercator options.";

// ---- Group S: service framework: start-up, request loop, poison messages ----

// ZVRS0001: SEVERE, ErrorADT
inline constexpr const char* ZVRID_S0001 = "ZVRS0001";
inline constexpr const char* ZVRTXT_S0001 = "Error profile failed.";
inline constexpr const char* ZVRUA_S0001 = nullptr;

// ZVRS0002: SEVERE, QuorError
inline constexpr const char* ZVRID_S0002 = "ZVRS0002";
inline constexpr const char* ZVRTXT_S0002 = "Unable to get a request after %d attempts.";
inline constexpr const char* ZVRUA_S0002 = nullptr;

// ZVRS0003: not raised
inline constexpr const char* ZVRID_S0003 = "ZVRS0003";
inline constexpr const char* ZVRTXT_S0003 = "Empty buffer returned from transformation.";
inline constexpr const char* ZVRUA_S0003 = nullptr;

// ZVRS0004: INFO, ErrorADT
inline constexpr const char* ZVRID_S0004 = "ZVRS0004";
inline constexpr const char* ZVRTXT_S0004 = "Message cleared from queue.";
inline constexpr const char* ZVRUA_S0004 = "No action required; the operation was successful.";

// ZVRS0005: WARNING, ErrorADT
inline constexpr const char* ZVRID_S0005 = "ZVRS0005";
inline constexpr const char* ZVRTXT_S0005 = "Poison message retrieved (backout count 1).";
inline constexpr const char* ZVRUA_S0005 =
    "None required. Message handled according to error profile.";

// ZVRS0006: SEVERE, ErrorADT
inline constexpr const char* ZVRID_S0006 = "ZVRS0006";
inline constexpr const char* ZVRTXT_S0006 = "Poison message retrieved (backout count %ld).";
inline constexpr const char* ZVRUA_S0006 =
    "Specify -force or -clear command line option to handle message.";

// ZVRS0007: not raised
inline constexpr const char* ZVRID_S0007 = "ZVRS0007";
inline constexpr const char* ZVRTXT_S0007 =
    "Transformed buffer contains dynamic routing information.";
inline constexpr const char* ZVRUA_S0007 =
    "This Transformation Component does not support dynamic routing. Use the Quor "
    "Broker Component for routing.";

// ZVRS0008: SEVERE, ErrorADT
inline constexpr const char* ZVRID_S0008 = "ZVRS0008";
inline constexpr const char* ZVRTXT_S0008 =
    "An attempt to handle a poison message via the error profile failed.";
inline constexpr const char* ZVRUA_S0008 =
    "Specify either -force or -clear command line option to handle message.";

// ZVRS0009: ERROR, ErrorADT
inline constexpr const char* ZVRID_S0009 = "ZVRS0009";
inline constexpr const char* ZVRTXT_S0009 =
    "Incompatible options ``%s'' and ``%s'' specified on startup.";
inline constexpr const char* ZVRUA_S0009 = "Do not specify both options on the command line.";

// ZVRS0010: not raised
inline constexpr const char* ZVRID_S0010 = "ZVRS0010";
inline constexpr const char* ZVRTXT_S0010 = "Unable to create a response.";
inline constexpr const char* ZVRUA_S0010 = nullptr;

// ZVRS0011: not raised
inline constexpr const char* ZVRID_S0011 = "ZVRS0011";
inline constexpr const char* ZVRTXT_S0011 = "Unable to locate next hop in workflow.";
inline constexpr const char* ZVRUA_S0011 = nullptr;

// ZVRS0012: ERROR, ErrorADT
inline constexpr const char* ZVRID_S0012 = "ZVRS0012";
inline constexpr const char* ZVRTXT_S0012 = "Unable to marshall the request.";
inline constexpr const char* ZVRUA_S0012 = nullptr;

// ZVRS0013: not raised
inline constexpr const char* ZVRID_S0013 = "ZVRS0013";
inline constexpr const char* ZVRTXT_S0013 = "Unable to close the theme handle.";
inline constexpr const char* ZVRUA_S0013 = nullptr;

// ---- Group TS: transformation service options ----

// ZVRTS0001: ERROR, ErrorADT
inline constexpr const char* ZVRID_TS0001 = "ZVRTS0001";
inline constexpr const char* ZVRTXT_TS0001 =
    "Incompatible options ``%s'' and ``%s'' specified on startup.";
inline constexpr const char* ZVRUA_TS0001 = "Do not specify both options on the command line.";

// ---- Group T: transformation ----

// ZVRT0001: WARNING, TransformError
inline constexpr const char* ZVRID_T0001 = "ZVRT0001";
inline constexpr const char* ZVRTXT_T0001 =
    "Message was successfully transformed with problems.";
inline constexpr const char* ZVRUA_T0001 = "Review the reason for the error";

// ZVRT0002: ERROR, TransformError
inline constexpr const char* ZVRID_T0002 = "ZVRT0002";
inline constexpr const char* ZVRTXT_T0002 = "Unable to transform message.";
inline constexpr const char* ZVRUA_T0002 = "Verify the message format and map definitions.";

// ZVRT0003: ERROR, ErrorADT
inline constexpr const char* ZVRID_T0003 = "ZVRT0003";
inline constexpr const char* ZVRTXT_T0003 = "Unable to determine map name.";
inline constexpr const char* ZVRUA_T0003 = "Verify the dictionary entry.";

// ---- Group H: dictionary cache ----

// ZVRH0001: WARNING, ErrorADT
inline constexpr const char* ZVRID_H0001 = "ZVRH0001";
inline constexpr const char* ZVRTXT_H0001 =
    "The dictionary entry name is truncated to 400 chars.";
inline constexpr const char* ZVRUA_H0001 = nullptr;

// ZVRH0002: WARNING, ErrorADT
inline constexpr const char* ZVRID_H0002 = "ZVRH0002";
inline constexpr const char* ZVRTXT_H0002 =
    "The dictionary entry value is truncated to 400 chars.";
inline constexpr const char* ZVRUA_H0002 = nullptr;

// ---- Group BK: subscription routing ----

// ZVRBK0001: SEVERE, ErrorADT
inline constexpr const char* ZVRID_BK0001 = "ZVRBK0001";
inline constexpr const char* ZVRTXT_BK0001 = "Invalid marshall buffer supplied for routing.";
inline constexpr const char* ZVRUA_BK0001 = "Contact Velmar Technical Support.";

// ZVRBK0002: ERROR, ErrorADT
inline constexpr const char* ZVRID_BK0002 = "ZVRBK0002";
inline constexpr const char* ZVRTXT_BK0002 = "Unknown routing action ``%s''.";
inline constexpr const char* ZVRUA_BK0002 = nullptr;

// ZVRBK0003: ERROR, QuorError
inline constexpr const char* ZVRID_BK0003 = "ZVRBK0003";
inline constexpr const char* ZVRTXT_BK0003 = "Unable to build a new theme.";
inline constexpr const char* ZVRUA_BK0003 = nullptr;

// ZVRBK0004: ERROR, ErrorADT
inline constexpr const char* ZVRID_BK0004 = "ZVRBK0004";
inline constexpr const char* ZVRTXT_BK0004 = "Unable to create a response to send.";
inline constexpr const char* ZVRUA_BK0004 = nullptr;

// ZVRBK0005: not raised
inline constexpr const char* ZVRID_BK0005 = "ZVRBK0005";
inline constexpr const char* ZVRTXT_BK0005 =
    "Unable to set marshalled buffer with transformed response buffer";
inline constexpr const char* ZVRUA_BK0005 = nullptr;

// ZVRBK0006: not raised
inline constexpr const char* ZVRID_BK0006 = "ZVRBK0006";
inline constexpr const char* ZVRTXT_BK0006 = "Unable to close the original theme handle";
inline constexpr const char* ZVRUA_BK0006 = nullptr;

// ZVRBK0007: ERROR, ErrorADT
inline constexpr const char* ZVRID_BK0007 = "ZVRBK0007";
inline constexpr const char* ZVRTXT_BK0007 = "Invalid action ``%s'' specified in the routing.";
inline constexpr const char* ZVRUA_BK0007 = "Verify the routing entry for the transformation.";

// ---- Group TB: broker component buffer processing ----

// ZVRTB0001: not raised
inline constexpr const char* ZVRID_TB0001 = "ZVRTB0001";
inline constexpr const char* ZVRTXT_TB0001 = "Unable to close the original theme handle";
inline constexpr const char* ZVRUA_TB0001 = nullptr;

// ZVRTB0002: WARNING, ErrorADT
inline constexpr const char* ZVRID_TB0002 = "ZVRTB0002";
inline constexpr const char* ZVRTXT_TB0002 =
    "The route contained an empty action and an empty service.";
inline constexpr const char* ZVRUA_TB0002 = nullptr;

// ZVRTB0003: not raised
inline constexpr const char* ZVRID_TB0003 = "ZVRTB0003";
inline constexpr const char* ZVRTXT_TB0003 = "Unable to locate next hop in workflow.";
inline constexpr const char* ZVRUA_TB0003 = nullptr;

// ZVRTB0004: not raised
inline constexpr const char* ZVRID_TB0004 = "ZVRTB0004";
inline constexpr const char* ZVRTXT_TB0004 = "Unable to create a response.";
inline constexpr const char* ZVRUA_TB0004 = nullptr;

// ZVRTB0005: not raised
inline constexpr const char* ZVRID_TB0005 = "ZVRTB0005";
inline constexpr const char* ZVRTXT_TB0005 = "Unable to marshall the request.";
inline constexpr const char* ZVRUA_TB0005 = nullptr;

// ZVRTB0006: not raised
inline constexpr const char* ZVRID_TB0006 = "ZVRTB0006";
inline constexpr const char* ZVRTXT_TB0006 = "Empty buffer returned from transformation.";
inline constexpr const char* ZVRUA_TB0006 = nullptr;

// ZVRTB0007: WARNING, ErrorADT
inline constexpr const char* ZVRID_TB0007 = "ZVRTB0007";
inline constexpr const char* ZVRTXT_TB0007 =
    "No routing provided in transformed message.  Forwarding message along the "
    "original workflow.";
inline constexpr const char* ZVRUA_TB0007 = nullptr;

// ZVRTB0008: ERROR, TransformError
inline constexpr const char* ZVRID_TB0008 = "ZVRTB0008";
inline constexpr const char* ZVRTXT_TB0008 = "Unable to parse the transformed buffer.";
inline constexpr const char* ZVRUA_TB0008 = nullptr;

// ZVRTB0009: not raised
inline constexpr const char* ZVRID_TB0009 = "ZVRTB0009";
inline constexpr const char* ZVRTXT_TB0009 = "User data length field is not terminated.";
inline constexpr const char* ZVRUA_TB0009 = "Verify the message format and map definitions.";

// ZVRTB0010: not raised
inline constexpr const char* ZVRID_TB0010 = "ZVRTB0010";
inline constexpr const char* ZVRTXT_TB0010 = "User data length field is improperly terminated.";
inline constexpr const char* ZVRUA_TB0010 = "Verify the message format and map definitions.";

// ZVRTB0011: not raised
inline constexpr const char* ZVRID_TB0011 = "ZVRTB0011";
inline constexpr const char* ZVRTXT_TB0011 = "User data length is zero.";
inline constexpr const char* ZVRUA_TB0011 =
    "Verify the message format, map definitions, and Mercator options.";

// ---- Group TT: transformation component buffer processing ----

// ZVRTT0001: not raised
inline constexpr const char* ZVRID_TT0001 = "ZVRTT0001";
inline constexpr const char* ZVRTXT_TT0001 = "User data length field is not terminated.";
inline constexpr const char* ZVRUA_TT0001 = "Verify the message format and map definitions.";

// ZVRTT0002: not raised
inline constexpr const char* ZVRID_TT0002 = "ZVRTT0002";
inline constexpr const char* ZVRTXT_TT0002 = "User data length field is improperly terminated.";
inline constexpr const char* ZVRUA_TT0002 = "Verify the message format and map definitions.";

// ZVRTT0003: not raised
inline constexpr const char* ZVRID_TT0003 = "ZVRTT0003";
inline constexpr const char* ZVRTXT_TT0003 = "User data length is zero.";
inline constexpr const char* ZVRUA_TT0003 =
    "Verify the message format, map definitions, and Mercator options.";

// ZVRTT0004: WARNING, ErrorADT
inline constexpr const char* ZVRID_TT0004 = "ZVRTT0004";
inline constexpr const char* ZVRTXT_TT0004 =
    "Transformed buffer contains dynamic routing information.";
inline constexpr const char* ZVRUA_TT0004 =
    "This Transformation Component does not support dynamic routing. Use the Quor "
    "Broker Component for routing.";

// ZVRTT0005: WARNING, TransformError (raised without its user action)
inline constexpr const char* ZVRID_TT0005 = "ZVRTT0005";
inline constexpr const char* ZVRTXT_TT0005 = "Empty buffer returned from transformation.";
inline constexpr const char* ZVRUA_TT0005 = "Verify the message format and map definitions.";

// ZVRTT0006: WARNING, ErrorADT
inline constexpr const char* ZVRID_TT0006 = "ZVRTT0006";
inline constexpr const char* ZVRTXT_TT0006 =
    "Transformed buffer contains data from more than one output card.";
inline constexpr const char* ZVRUA_TT0006 =
    "This Transformation Component does not support multiple output cards. Use the "
    "Quor Broker Component for fanout.";

// ---- Group P: dump component ----

// ZVRP0001: ERROR, ErrorADT
inline constexpr const char* ZVRID_P0001 = "ZVRP0001";
inline constexpr const char* ZVRTXT_P0001 = "Unable to open file ``%s'' for output.";
inline constexpr const char* ZVRUA_P0001 = nullptr;

struct ZvrCatalogEntry {
  const char* group;       // "R", "D", ..., "BK"
  const char* id;          // ZVRID_...
  const char* text;        // ZVRTXT_...
  const char* userAction;  // ZVRUA_..., nullptr when the entry has none
};

// Every entry, in catalog order.
inline constexpr ZvrCatalogEntry kZvrCatalog[] = {
    {"R", ZVRID_R0001, ZVRTXT_R0001, ZVRUA_R0001},
    {"R", ZVRID_R0002, ZVRTXT_R0002, ZVRUA_R0002},
    {"R", ZVRID_R0003, ZVRTXT_R0003, ZVRUA_R0003},
    {"R", ZVRID_R0004, ZVRTXT_R0004, ZVRUA_R0004},
    {"R", ZVRID_R0005, ZVRTXT_R0005, ZVRUA_R0005},
    {"R", ZVRID_R0006, ZVRTXT_R0006, ZVRUA_R0006},
    {"R", ZVRID_R0007, ZVRTXT_R0007, ZVRUA_R0007},
    {"R", ZVRID_R0008, ZVRTXT_R0008, ZVRUA_R0008},
    {"R", ZVRID_R0009, ZVRTXT_R0009, ZVRUA_R0009},
    {"R", ZVRID_R0010, ZVRTXT_R0010, ZVRUA_R0010},
    {"R", ZVRID_R0011, ZVRTXT_R0011, ZVRUA_R0011},
    {"R", ZVRID_R0012, ZVRTXT_R0012, ZVRUA_R0012},
    {"R", ZVRID_R0013, ZVRTXT_R0013, ZVRUA_R0013},
    {"R", ZVRID_R0014, ZVRTXT_R0014, ZVRUA_R0014},
    {"R", ZVRID_R0015, ZVRTXT_R0015, ZVRUA_R0015},
    {"R", ZVRID_R0016, ZVRTXT_R0016, ZVRUA_R0016},
    {"R", ZVRID_R0017, ZVRTXT_R0017, ZVRUA_R0017},
    {"R", ZVRID_R0018, ZVRTXT_R0018, ZVRUA_R0018},
    {"R", ZVRID_R0019, ZVRTXT_R0019, ZVRUA_R0019},
    {"R", ZVRID_R0020, ZVRTXT_R0020, ZVRUA_R0020},
    {"R", ZVRID_R0021, ZVRTXT_R0021, ZVRUA_R0021},
    {"D", ZVRID_D0001, ZVRTXT_D0001, ZVRUA_D0001},
    {"D", ZVRID_D0002, ZVRTXT_D0002, ZVRUA_D0002},
    {"D", ZVRID_D0003, ZVRTXT_D0003, ZVRUA_D0003},
    {"D", ZVRID_D0004, ZVRTXT_D0004, ZVRUA_D0004},
    {"D", ZVRID_D0005, ZVRTXT_D0005, ZVRUA_D0005},
    {"D", ZVRID_D0006, ZVRTXT_D0006, ZVRUA_D0006},
    {"D", ZVRID_D0007, ZVRTXT_D0007, ZVRUA_D0007},
    {"M", ZVRID_M0001, ZVRTXT_M0001, ZVRUA_M0001},
    {"M", ZVRID_M0002, ZVRTXT_M0002, ZVRUA_M0002},
    {"M", ZVRID_M0003, ZVRTXT_M0003, ZVRUA_M0003},
    {"M", ZVRID_M0004, ZVRTXT_M0004, ZVRUA_M0004},
    {"M", ZVRID_M0005, ZVRTXT_M0005, ZVRUA_M0005},
    {"M", ZVRID_M0006, ZVRTXT_M0006, ZVRUA_M0006},
    {"M", ZVRID_M0007, ZVRTXT_M0007, ZVRUA_M0007},
    {"S", ZVRID_S0001, ZVRTXT_S0001, ZVRUA_S0001},
    {"S", ZVRID_S0002, ZVRTXT_S0002, ZVRUA_S0002},
    {"S", ZVRID_S0003, ZVRTXT_S0003, ZVRUA_S0003},
    {"S", ZVRID_S0004, ZVRTXT_S0004, ZVRUA_S0004},
    {"S", ZVRID_S0005, ZVRTXT_S0005, ZVRUA_S0005},
    {"S", ZVRID_S0006, ZVRTXT_S0006, ZVRUA_S0006},
    {"S", ZVRID_S0007, ZVRTXT_S0007, ZVRUA_S0007},
    {"S", ZVRID_S0008, ZVRTXT_S0008, ZVRUA_S0008},
    {"S", ZVRID_S0009, ZVRTXT_S0009, ZVRUA_S0009},
    {"S", ZVRID_S0010, ZVRTXT_S0010, ZVRUA_S0010},
    {"S", ZVRID_S0011, ZVRTXT_S0011, ZVRUA_S0011},
    {"S", ZVRID_S0012, ZVRTXT_S0012, ZVRUA_S0012},
    {"S", ZVRID_S0013, ZVRTXT_S0013, ZVRUA_S0013},
    {"TS", ZVRID_TS0001, ZVRTXT_TS0001, ZVRUA_TS0001},
    {"T", ZVRID_T0001, ZVRTXT_T0001, ZVRUA_T0001},
    {"T", ZVRID_T0002, ZVRTXT_T0002, ZVRUA_T0002},
    {"T", ZVRID_T0003, ZVRTXT_T0003, ZVRUA_T0003},
    {"H", ZVRID_H0001, ZVRTXT_H0001, ZVRUA_H0001},
    {"H", ZVRID_H0002, ZVRTXT_H0002, ZVRUA_H0002},
    {"BK", ZVRID_BK0001, ZVRTXT_BK0001, ZVRUA_BK0001},
    {"BK", ZVRID_BK0002, ZVRTXT_BK0002, ZVRUA_BK0002},
    {"BK", ZVRID_BK0003, ZVRTXT_BK0003, ZVRUA_BK0003},
    {"BK", ZVRID_BK0004, ZVRTXT_BK0004, ZVRUA_BK0004},
    {"BK", ZVRID_BK0005, ZVRTXT_BK0005, ZVRUA_BK0005},
    {"BK", ZVRID_BK0006, ZVRTXT_BK0006, ZVRUA_BK0006},
    {"BK", ZVRID_BK0007, ZVRTXT_BK0007, ZVRUA_BK0007},
    {"TB", ZVRID_TB0001, ZVRTXT_TB0001, ZVRUA_TB0001},
    {"TB", ZVRID_TB0002, ZVRTXT_TB0002, ZVRUA_TB0002},
    {"TB", ZVRID_TB0003, ZVRTXT_TB0003, ZVRUA_TB0003},
    {"TB", ZVRID_TB0004, ZVRTXT_TB0004, ZVRUA_TB0004},
    {"TB", ZVRID_TB0005, ZVRTXT_TB0005, ZVRUA_TB0005},
    {"TB", ZVRID_TB0006, ZVRTXT_TB0006, ZVRUA_TB0006},
    {"TB", ZVRID_TB0007, ZVRTXT_TB0007, ZVRUA_TB0007},
    {"TB", ZVRID_TB0008, ZVRTXT_TB0008, ZVRUA_TB0008},
    {"TB", ZVRID_TB0009, ZVRTXT_TB0009, ZVRUA_TB0009},
    {"TB", ZVRID_TB0010, ZVRTXT_TB0010, ZVRUA_TB0010},
    {"TB", ZVRID_TB0011, ZVRTXT_TB0011, ZVRUA_TB0011},
    {"TT", ZVRID_TT0001, ZVRTXT_TT0001, ZVRUA_TT0001},
    {"TT", ZVRID_TT0002, ZVRTXT_TT0002, ZVRUA_TT0002},
    {"TT", ZVRID_TT0003, ZVRTXT_TT0003, ZVRUA_TT0003},
    {"TT", ZVRID_TT0004, ZVRTXT_TT0004, ZVRUA_TT0004},
    {"TT", ZVRID_TT0005, ZVRTXT_TT0005, ZVRUA_TT0005},
    {"TT", ZVRID_TT0006, ZVRTXT_TT0006, ZVRUA_TT0006},
    {"P", ZVRID_P0001, ZVRTXT_P0001, ZVRUA_P0001},
};
inline constexpr std::size_t kZvrCatalogSize = sizeof kZvrCatalog / sizeof kZvrCatalog[0];

#endif  // ZVR_CATALOG_H
