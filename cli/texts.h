// The fixed texts the program prints.
#ifndef PFNDB_CLI_TEXTS_H_
#define PFNDB_CLI_TEXTS_H_

// Follows the program token on the banner's first line.
extern const wchar_t kOwnershipNotice[];
// The rest of the banner.
extern const wchar_t kLicenceNotice[];
// Sections 15 and 16 of the GNU General Public License, version 3.
extern const wchar_t kWarrantyText[];
extern const wchar_t kLiabilityText[];
// What -c prints.
extern const wchar_t kConditionsText[];

#endif  // PFNDB_CLI_TEXTS_H_
