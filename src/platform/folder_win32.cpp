// Windows: the access list of the install folder. Apart from the rest of the
// platform layer, since only the extractor calls it, and the stub must not
// import ADVAPI32.
#include "win32.h"

#include <aclapi.h>
#include <sddl.h>
#include <string.h>
#include <wchar.h>

// Rights that let a user change what is in a folder, or the folder itself.
static const ACCESS_MASK CHANGE_RIGHTS = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                         FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES | DELETE |
                                         WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// Everyone, Authenticated Users, Interactive, and the Users group.
static int is_ordinary_users(PSID sid)
{
    static const WELL_KNOWN_SID_TYPE ordinary[] = {WinWorldSid, WinAuthenticatedUserSid,
                                                   WinInteractiveSid, WinBuiltinUsersSid};
    for (WELL_KNOWN_SID_TYPE type : ordinary)
        if (IsWellKnownSid(sid, type))
            return 1;
    return 0;
}

// Walks a list's allow entries: whether one with all of the flags in
// `with` grants ordinary users a right to change, and how many entries
// have the flag INHERITED_ACE.
static int lets_users_change(PACL acl, BYTE with, DWORD *inherited)
{
    int found = 0;
    *inherited = 0;
    for (DWORD i = 0; acl != NULL && i < acl->AceCount; i++) {
        ACE_HEADER *ace;
        if (!GetAce(acl, i, (void **)&ace))
            continue;
        *inherited += (ace->AceFlags & INHERITED_ACE) != 0;
        if (ace->AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->AceFlags & with) != with)
            continue;
        ACCESS_ALLOWED_ACE *allow = (ACCESS_ALLOWED_ACE *)ace;
        if ((allow->Mask & CHANGE_RIGHTS) && is_ordinary_users((PSID)&allow->SidStart))
            found = 1;
    }
    return found;
}

// The current folder, which the stub made or entered. NULL with errno.
static const wchar_t *current_folder(wchar_t *folder, DWORD size, DWORD *length)
{
    DWORD n = GetCurrentDirectoryW(size, folder);
    if (n == 0 || n >= size) {
        errno = n == 0 ? errno_from_win32(GetLastError()) : ENAMETOOLONG;
        return NULL;
    }
    *length = n;
    return folder;
}

int plat_folder_open_to_all(void)
{
    wchar_t folder[MAX_PATH + 1];
    DWORD n;
    if (current_folder(folder, MAX_PATH + 1, &n) == NULL)
        return -1;
    // "X:\name", and no separator after the root's.
    if (n < 4 || folder[1] != L':' || folder[2] != L'\\' || wcschr(folder + 3, L'\\') != NULL)
        return 0;
    wchar_t root[4] = {folder[0], L':', L'\\', 0};
    PACL own = NULL, parent = NULL;
    PSECURITY_DESCRIPTOR own_sd = NULL, parent_sd = NULL;
    DWORD r = GetNamedSecurityInfoW(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL,
                                    &own, NULL, &own_sd);
    if (r == ERROR_SUCCESS)
        r = GetNamedSecurityInfoW(root, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL,
                                  &parent, NULL, &parent_sd);
    int open = 0;
    if (r == ERROR_SUCCESS) {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision, inherited, unused;
        GetSecurityDescriptorControl(own_sd, &control, &revision);
        lets_users_change(own, 0, &inherited);
        // Its own list: protected, or entries set on it beside inherited
        // ones. (A system that marks nothing as inherited has none.)
        int its_own = (control & SE_DACL_PROTECTED) ||
                      (inherited > 0 && own != NULL && inherited < own->AceCount);
        open = !its_own && lets_users_change(parent, CONTAINER_INHERIT_ACE, &unused);
    }
    LocalFree(own_sd);
    LocalFree(parent_sd);
    // Lists that can't be read (a share that hides its root's) tell
    // nothing: the folder is left as it is rather than the install stopped.
    return r == ERROR_SUCCESS && open;
}

int plat_user_sid(char *buf, size_t size)
{
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    union {
        TOKEN_USER user;
        BYTE room[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } info;
    DWORD got;
    BOOL ok = GetTokenInformation(token, TokenUser, &info, sizeof info, &got);
    DWORD code = GetLastError();
    CloseHandle(token);
    char *text = NULL;
    if (!ok || !ConvertSidToStringSidA(info.user.User.Sid, &text)) {
        errno = errno_from_win32(ok ? GetLastError() : code);
        return -1;
    }
    size_t n = strlen(text);
    int fits = n < size;
    if (fits)
        memcpy(buf, text, n + 1);
    LocalFree(text);
    if (!fits) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

// SetFileSecurity takes the descriptor's own control bits, protection
// included, as they are.
int plat_set_folder_access(const char *sddl)
{
    wchar_t folder[MAX_PATH + 1];
    DWORD n;
    PSECURITY_DESCRIPTOR sd = NULL;
    if (current_folder(folder, MAX_PATH + 1, &n) == NULL)
        return -1;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, NULL)) {
        errno = EINVAL;
        return -1;
    }
    BOOL ok = SetFileSecurityW(folder, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                               sd);
    DWORD code = GetLastError();
    LocalFree(sd);
    if (!ok) {
        errno = errno_from_win32(code);
        return -1;
    }
    return 0;
}
