/*
 * kxsmon.h - monitoring interface of a thin-client server.
 *
 * A caller obtains a handle with kxs_init(), passes it to every query and
 * releases it with kxs_freeHandle(). A query that returns a record or list
 * allocates it afresh; the caller releases it with the matching kxs_free*
 * function, which accepts NULL. Returned texts are malloc()ed: release them
 * with free(). Numeric queries return 0 when the figure cannot be had.
 *
 * The library starts no thread and keeps process-wide state: use it from one
 * thread at a time.
 */
#ifndef KXSMON_H
#define KXSMON_H

#include <stdint.h>

#ifdef __cplusplus
/* Nothing the library exports throws. */
#define KXS_NOEXCEPT noexcept
extern "C" {
#else
#define KXS_NOEXCEPT
#endif

/* Per-caller context; its contents are private to the library. */
typedef struct KXSHandle KXSHandle;

/* Version and installation date of the product's core package. */
typedef struct KXSVersion {
    char *version;     /* may be NULL */
    char *installDate; /* may be NULL; at least one of the two is set */
} KXSVersion;

/* One configured daemon's state. */
typedef struct KXSDaemon {
    char *name;
    int32_t status;      /* 1 up, 2 down, -1 never examined */
    uint32_t stime;      /* earliest start of its processes, seconds since the
                            epoch; 0 when none runs */
    uint32_t changetm;   /* last change of its state; 0 when none was seen */
    int32_t instances;   /* number of its processes */
    char *description;   /* may be NULL */
} KXSDaemon;

/* One terminal's status, as kxs_DTUMonitored and kxs_DTUException report it.
 * Texts are NULL when not known. */
typedef struct KXSDTU {
    char *terminalId;            /* as monitored (kxs_DTUMonitored) or as reported */
    char *terminalIPA;           /* the terminal's IP address */
    int32_t state;               /* KXS_DTU_OWNED, KXS_DTU_ABSENT or KXS_DTU_UNOWNED */
    uint32_t terminalPackets;
    uint32_t terminalLostPackets;
    float lossPercent;           /* lost * 100 / (packets + lost); 0.0 when absent */
    char *location;              /* from the terminal's desktop entry in the directory */
    char *otherInfo;             /* likewise */
    char *serverName;            /* the group member that reported the terminal */
    char *model;
    char *firmware;
} KXSDTU;

/* KXSDTU states. */
#define KXS_DTU_OWNED 1   /* reported, with packets or connected for less than the limit */
#define KXS_DTU_ABSENT 2  /* monitored, but no member of the group reports it */
#define KXS_DTU_UNOWNED 3 /* reported without packets and connected for at least the limit */

/* ---- lifecycle ---------------------------------------------------------- */

/* NULL when the handle cannot be made or the services file cannot be read. */
KXSHandle *kxs_init(void) KXS_NOEXCEPT;
void kxs_freeHandle(KXSHandle *handle) KXS_NOEXCEPT;

/* ---- version and patches -------------------------------------------------- */

/* NULL when the package information cannot be had. */
KXSVersion *kxs_version(KXSHandle *handle) KXS_NOEXCEPT;
void kxs_freeVersion(KXSHandle *handle, KXSVersion *version) KXS_NOEXCEPT;
/* Installed patches joined by ", "; the empty text when they cannot be had.
 * Release with free(). */
char *kxs_patches(KXSHandle *handle) KXS_NOEXCEPT;

/* ---- daemons -------------------------------------------------------------- */

/* Every configured daemon that applies on this server, in the order of the
 * services file, as a NULL-terminated array (empty when the file names no
 * services); NULL on failure. The process table and the daemons' ports are
 * examined at most once every 10 seconds per handle; a port probe waits at
 * most 5 seconds for its connection.
 * Release with kxs_freeDaemons(). */
KXSDaemon **kxs_daemons(KXSHandle *handle) KXS_NOEXCEPT;
void kxs_freeDaemons(KXSHandle *handle, KXSDaemon **daemons) KXS_NOEXCEPT;

/* ---- up time -------------------------------------------------------------- */

/* For how long the product has been up as a whole, in hundredths of a second:
 * the shortest up time among the session manager, the authentication manager
 * and every critical daemon; 0 when any of them is down or unknown. */
uint32_t kxs_upTime(KXSHandle *handle) KXS_NOEXCEPT;

/* ---- users, desktops and policy -------------------------------------------- */

/* Desktop units that the authentication manager of this host knows; 0 when
 * it cannot be asked. */
int32_t kxs_desktops(KXSHandle *handle) KXS_NOEXCEPT;
/* Users it serves: its units, a multihead group counted once; 0 when it
 * cannot be asked. */
uint32_t kxs_users(KXSHandle *handle) KXS_NOEXCEPT;
/* The authentication policy: the policy tool's text without comment lines,
 * or, when it prints its own command line, the options from the first blank
 * on (leading blank included); NULL when it cannot be had.
 * Release with free(). */
char *kxs_policy(KXSHandle *handle) KXS_NOEXCEPT;

/* ---- sessions --------------------------------------------------------------- */

/* Refreshes the handle's session counts when they are older than 10
 * seconds: 0, or -1 when the sessions could not be enumerated. */
int32_t kxs_countSessions(KXSHandle *handle) KXS_NOEXCEPT;
/* Sessions that are not idling; 0 when they cannot be counted. */
int32_t kxs_totalSessions(KXSHandle *handle) KXS_NOEXCEPT;
/* Sessions that a desktop unit shows now (not idling, not detached); 0 when
 * they cannot be counted. */
int32_t kxs_sessions(KXSHandle *handle) KXS_NOEXCEPT;

/* ---- system contact ------------------------------------------------------- */

/* The contact text, or "System Admin" when none is known. Release with free(). */
char *kxs_contact(KXSHandle *handle) KXS_NOEXCEPT;
/* Sets and stores the contact: 0, or -1 when it could not be stored (the new
 * value stays in effect for this handle; errno tells why). */
int32_t kxs_setContact(KXSHandle *handle, const char *contact) KXS_NOEXCEPT;

/* ---- monitored terminals ---------------------------------------------------- */

/* Maximum number of monitored terminals. */
#define KXS_MAX_MONITORED_DTUS 999

/* 0 when the terminal is monitored afterwards (also when it already was);
 * -1 when the table is full, the ID is unusable, or the table could not be
 * stored (the change stays in effect for this handle; errno tells why). */
int32_t kxs_addDTUMonitored(KXSHandle *handle, const char *terminalId) KXS_NOEXCEPT;
/* 0 when the terminal is not monitored afterwards; -1 when the table could not
 * be stored (the deletion stays in effect for this handle; errno tells why). */
int32_t kxs_deleteDTUMonitored(KXSHandle *handle, const char *terminalId) KXS_NOEXCEPT;

/* Every monitored terminal, in table order, wherever in the failover group it
 * is connected: one record per monitored terminal, KXS_DTU_ABSENT where no
 * trusted, live member reports it (so also when no member can be asked), the
 * first report in the group's order otherwise; IDs match without regard to
 * case. A terminal without packets that has been connected for at least
 * `limit` seconds is KXS_DTU_UNOWNED. With a directory connection, location
 * and otherInfo come from the terminal's desktop entry. NULL for a NULL
 * handle, an empty table or when memory runs out. `reserved` is not used.
 * Release with kxs_freeDTUs(). */
KXSDTU **kxs_DTUMonitored(KXSHandle *handle, uint32_t limit, void *reserved) KXS_NOEXCEPT;
/* Every terminal that this server's authentication manager reports, ordered
 * by terminal ID without regard to case, KXS_DTU_OWNED or KXS_DTU_UNOWNED as
 * above. An empty array (only the NULL terminator) when the server has no
 * terminals; NULL when its authentication manager does not answer, for a
 * NULL handle or when memory runs out. `reserved` is not used.
 * Release with kxs_freeDTUs(). */
KXSDTU **kxs_DTUException(KXSHandle *handle, uint32_t limit, void *reserved) KXS_NOEXCEPT;
void kxs_freeDTUs(KXSHandle *handle, KXSDTU **dtus) KXS_NOEXCEPT;

/* ---- network interfaces ------------------------------------------------------ */

/* Interface states. */
#define KXS_IF_UP 1
#define KXS_IF_DOWN 2

/* One network interface of this server as its failover group sees it. */
typedef struct KXSInterface {
    char *name;        /* the group manager's name for it */
    char *ipaddr;      /* dotted decimal */
    char *netmask;     /* dotted decimal */
    int32_t status;    /* KXS_IF_UP or KXS_IF_DOWN */
    uint32_t lastpkt;  /* age of its last packet in hundredths of a second;
                          0 when the group manager reports it down */
    char *type;        /* "LAN" for the group's LAN interface, else "" */
} KXSInterface;

/* This server's interfaces in the group manager's order, as a
 * NULL-terminated array (empty when it lists none for this server); NULL
 * when the group manager cannot be asked or does not know this server by its
 * host name. An interface is down when the group manager has not seen a
 * packet on it for more than three report periods, or the host reports it
 * not up or without a link; up also when the host cannot tell.
 * Release with kxs_freeInterfaces(). */
KXSInterface **kxs_interfaces(KXSHandle *handle) KXS_NOEXCEPT;
void kxs_freeInterfaces(KXSHandle *handle, KXSInterface **interfaces) KXS_NOEXCEPT;

/* ---- DHCP summary ------------------------------------------------------------- */

/* One line of the product's DHCP summary. */
typedef struct KXSDHCPEntry {
    char *name;         /* may be NULL when the tool printed a blank name */
    int32_t available;
} KXSDHCPEntry;

/* Every line of the summary, in the tool's order, as a NULL-terminated array
 * (empty when it printed none); NULL when the summary tool cannot be run or
 * fails. Release with kxs_freeDHCP(). */
KXSDHCPEntry **kxs_DHCP(KXSHandle *handle) KXS_NOEXCEPT;
void kxs_freeDHCP(KXSHandle *handle, KXSDHCPEntry **entries) KXS_NOEXCEPT;

/* ---- failover group ------------------------------------------------------------- */

/* One trusted member of the failover group. */
typedef struct KXSFOHost {
    char *name;
    char *role;       /* "primary", "secondary", "zero admin", "no data sharing"
                         or "unknown", after "offline " when the group manager
                         marks the member offline */
    int32_t status;   /* 1 up, 2 down */
} KXSFOHost;

/* The group's trusted members in the group manager's order, as a
 * NULL-terminated array; NULL when the group manager cannot be asked or lists
 * no member. Roles come from the product's replica tool, run once per handle
 * (on the primary through the remote-command tool); what it answered then, a
 * failure included, holds until kxs_freeHandle(). States and the "offline "
 * prefix are current. Release with kxs_freeFOGroup(). */
KXSFOHost **kxs_FOGroup(KXSHandle *handle) KXS_NOEXCEPT;
void kxs_freeFOGroup(KXSHandle *handle, KXSFOHost **hosts) KXS_NOEXCEPT;

/* ---- Extensions ------------------------------------------------------------ */

/* Sets the directory put in front of every product path (like rpm --root);
 * call it before kxs_init(). Returns 0; -1 for a relative path, one that is
 * not an existing directory, or one that is not trusted, leaving the root as
 * it was. NULL clears it. Trusted: the root, every directory above it and
 * every existing product directory below it is owned by root or by the
 * caller's effective user and is not writable by group or others unless its
 * sticky bit is set. */
int32_t kxs_setRoot(const char *dir) KXS_NOEXCEPT;

/* The outcome of the last query made on a handle, in the manner of sqlite's
 * per-connection error code. Every query sets it (the kxs_free* functions
 * leave it alone); the documented results (0, NULL, -1) stay as they are,
 * and this tells a figure that could not be had from a real one.
 *
 * kxs_lastError() is KXS_OK when the last query had every source it
 * needed. KXS_EPARTIAL means that it returned what it had while some source
 * failed (a group member that did not answer, a port that could not be
 * probed); any other code means that its result is not a figure of the
 * server (0, NULL or a default) and says why. A NULL handle gives
 * KXS_EINVAL. kxs_lastErrorText() is one line for people naming what failed
 * and where ("authentication manager on srv1:7010 did not answer within
 * 5 s"), "" after a query that succeeded; it belongs to the handle and stays
 * valid until the next call made on it.
 *
 * A handle remembers for 10 seconds (the period of its other caches) each
 * daemon that did not answer in time: a query that needs it within that
 * time fails at once with the same code and text, so one hung daemon costs
 * one wait, not one per query. A refused connection is not remembered. */
#define KXS_OK 0
#define KXS_ETIMEDOUT 1      /* a daemon or host did not answer in time */
#define KXS_EREFUSED 2       /* a daemon refused or dropped the connection */
#define KXS_ENOHOST 3        /* a host name could not be resolved */
#define KXS_EREPLY 4         /* a daemon's reply could not be read or made no sense */
#define KXS_ETOOL 5          /* a product tool could not be run or failed */
#define KXS_ENOTCONFIGURED 6 /* the product, or this part of it, is not set up here */
#define KXS_ENOMEM 7         /* memory ran out */
#define KXS_EFILE 8          /* a product file could not be read or stored */
#define KXS_ESYSTEM 9        /* the host could not be asked (process table, interfaces) */
#define KXS_EINVAL 10        /* no handle, or an argument that was refused */
#define KXS_ELIMIT 11        /* a table is full */
#define KXS_EDIRECTORY 12    /* the directory (LDAP) did not answer */
#define KXS_EINTERNAL 13     /* a fault of the library itself */
#define KXS_EPARTIAL 14      /* an answer that lacks what a failed source would have given */

int kxs_lastError(KXSHandle *handle) KXS_NOEXCEPT;
const char *kxs_lastErrorText(KXSHandle *handle) KXS_NOEXCEPT;

/* As kxs_patches(), but NULL when the patch lister failed, so that a caller
 * can tell a failure from a product without patches (the empty text).
 * Release with free(). */
char *kxs_listPatches(KXSHandle *handle) KXS_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* KXSMON_H */
