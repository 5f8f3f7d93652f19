/*
 * kxerrno.h - error codes of the administration routines.
 *
 * 0 is success, failures are negative; KX_EUNKNOWN is the one positive code.
 * -21 and +1 are not codes.
 *
 * KX_ERRNO_MAP is the one list of the codes: each XX(name, value, message)
 * gives a code's name, its number and its message. The constants below and
 * the library's messages are generated from it; a new code is added here only.
 */
#ifndef KXERRNO_H
#define KXERRNO_H

#define KX_ERRNO_MAP(XX)                                                              \
    XX(KX_SUCCESS, 0, "Success")                                                      \
    XX(KX_EINTERNAL, -1, "Internal system error")                                     \
    XX(KX_ENOCHANGE, -2, "No changes were made")                                      \
    XX(KX_EAUTH, -3, "Authentication failed")                                         \
    XX(KX_ENOTFOUND, -4, "Object not found")                                          \
    XX(KX_EPERM, -5, "No permission")                                                 \
    XX(KX_EINVAL, -6, "Invalid arguments")                                            \
    XX(KX_EEXIST, -7, "Data already exists")                                          \
    XX(KX_ETERMINUSE, -8, "Terminal already in use")                                  \
    XX(KX_ENOTOKEN, -9, "Token not found")                                            \
    XX(KX_ENOMEM, -10, "Not enough memory")                                           \
    XX(KX_EDUPTERMID, -11, "Duplicate Terminal ID")                                   \
    XX(KX_EUNREACHABLE, -12, "Server unreachable")                                    \
    XX(KX_ESOCKET, -13, "Failed to open socket")                                      \
    XX(KX_ESOCKWRITE, -14, "Socket write failed")                                     \
    XX(KX_EAMTIMEOUT, -15, "Authentication Manager timeout")                          \
    XX(KX_EFILEACCESS, -16, "File access error")                                      \
    XX(KX_ESEQUENCE, -17, "Invalid call sequence")                                    \
    XX(KX_ENOMORE, -18, "No more data")                                               \
    XX(KX_ENOENT, -19, "File or directory does not exist")                            \
    XX(KX_ENODB, -20, "Unable to contact admin database")                             \
    XX(KX_EDETACHED, -22, "Session detached")                                         \
    XX(KX_ENOSESSION, -23, "Not currently in a Kestrel session")                      \
    XX(KX_ETIMEDOUT, -24, "Operation timed out")                                      \
    XX(KX_ECONTACT, -25, "Failed to contact the remote service")                     \
    XX(KX_ECONFIG, -26, "Configuration error")                                        \
    XX(KX_ENOBUFS, -27, "No buffer space available")                                  \
    XX(KX_EDBMOPEN, -28, "Failed to open DBM files")                                  \
    XX(KX_EREFERRAL, -29, "Invalid referral from the primary DS server")              \
    XX(KX_EOPEN, -30, "Open failed")                                                  \
    XX(KX_EREJECTED, -31, "Message rejected")                                         \
    XX(KX_EDISCONNECTED, -32, "Connection disconnected")                              \
    XX(KX_EREPLTIMEOUT, -33, "Data replication timed out")                            \
    XX(KX_EUNKNOWN, 2, "Unknown system error")

#define KX_ERRNO_CONSTANT(name, value, message) name = (value),
enum { KX_ERRNO_MAP(KX_ERRNO_CONSTANT) };
#undef KX_ERRNO_CONSTANT

#endif /* KXERRNO_H */
