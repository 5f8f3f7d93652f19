/*
 * kxerrno.h - error codes of the administration routines.
 *
 * 0 is success, failures are negative; KX_EUNKNOWN is the one positive code.
 */
#ifndef KXERRNO_H
#define KXERRNO_H

#define KX_SUCCESS        0
#define KX_EINTERNAL     (-1)
#define KX_ENOCHANGE     (-2)
#define KX_EAUTH         (-3)
#define KX_ENOTFOUND     (-4)
#define KX_EPERM         (-5)
#define KX_EINVAL        (-6)
#define KX_EEXIST        (-7)
#define KX_ETERMINUSE    (-8)
#define KX_ENOTOKEN      (-9)
#define KX_ENOMEM        (-10)
#define KX_EDUPTERMID    (-11)
#define KX_EUNREACHABLE  (-12)
#define KX_ESOCKET       (-13)
#define KX_ESOCKWRITE    (-14)
#define KX_EAMTIMEOUT    (-15)
#define KX_EFILEACCESS   (-16)
#define KX_ESEQUENCE     (-17)
#define KX_ENOMORE       (-18)
#define KX_ENOENT        (-19)
#define KX_ENODB         (-20)
/* -21 is not a code */
#define KX_EDETACHED     (-22)
#define KX_ENOSESSION    (-23)
#define KX_ETIMEDOUT     (-24)
#define KX_ECONTACT      (-25)
#define KX_ECONFIG       (-26)
#define KX_ENOBUFS       (-27)
#define KX_EDBMOPEN      (-28)
#define KX_EREFERRAL     (-29)
#define KX_EOPEN         (-30)
#define KX_EREJECTED     (-31)
#define KX_EDISCONNECTED (-32)
#define KX_EREPLTIMEOUT  (-33)
/* +1 is not a code */
#define KX_EUNKNOWN        2

#endif /* KXERRNO_H */
