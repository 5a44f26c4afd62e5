// SPDX-License-Identifier: GPL-2.0-or-later
#include "securebootreport.h"

#include <KLocalizedString>

namespace SecureBootReport
{
QString state(SecureBoot::State state)
{
    switch (state) {
    case SecureBoot::State::NoEfi:
        return i18n("Secure Boot: not available (no EFI firmware); every module loads");
    case SecureBoot::State::Unknown:
        return i18n("Secure Boot: unknown (the EFI variables cannot be read)");
    case SecureBoot::State::Off:
        return i18n("Secure Boot: off; every module loads");
    case SecureBoot::State::ValidationDisabled:
        return i18n("Secure Boot: on, but shim's validation is disabled; every module loads");
    case SecureBoot::State::Enforcing:
        break;
    }
    return i18n("Secure Boot: on; the kernel loads only modules signed by its own key or by a key enrolled in the MOK list");
}

QString dkmsKey(const SecureBoot &secureBoot)
{
    if (!secureBoot.dkmsKeyExists()) {
        return i18n("DKMS key %1: none", SecureBoot::dkmsKeyPath());
    }
    return secureBoot.dkmsKeyEnrolled() ? i18n("DKMS key %1: enrolled", SecureBoot::dkmsKeyPath())
                                        : i18n("DKMS key %1: not enrolled", SecureBoot::dkmsKeyPath());
}

namespace
{
QString signature(const ModuleSignature &signature)
{
    switch (signature.status) {
    case ModuleSignature::Status::Unsigned:
        return i18n("not signed");
    case ModuleSignature::Status::Unreadable:
        return i18n("a signature that cannot be read");
    case ModuleSignature::Status::Missing:
        return i18n("module file not found");
    case ModuleSignature::Status::Damaged:
        return i18n("a module file that cannot be decompressed");
    case ModuleSignature::Status::Signed:
        break;
    }
    return i18n("signed by %1 (key %2)", signature.signer.isEmpty() ? i18n("an unnamed signer") : signature.signer, signature.sigKey());
}

QString verdict(SecureBoot::Verdict verdict)
{
    switch (verdict) {
    case SecureBoot::Verdict::NotEnforced:
        return i18n("loads");
    case SecureBoot::Verdict::KernelKey:
        return i18n("loads (the kernel's own key)");
    case SecureBoot::Verdict::EnrolledKey:
        return i18n("loads (an enrolled key)");
    case SecureBoot::Verdict::Unsigned:
        return i18n("will not load");
    case SecureBoot::Verdict::DkmsKeyNotEnrolled:
        return i18n("will not load: DKMS's key is not enrolled");
    case SecureBoot::Verdict::KeyNotEnrolled:
        return i18n("will not load: the key is not enrolled");
    case SecureBoot::Verdict::Unknown:
        break;
    }
    return i18n("cannot tell whether it loads");
}
}

QString module(const QString &name, const SecureBoot::ModuleCheck &check)
{
    return i18nc("module name: signature; verdict", "%1: %2; %3", name, signature(check.signature), verdict(check.verdict));
}

QString refusal(const QString &name, const SecureBoot::ModuleCheck &check)
{
    switch (check.verdict) {
    case SecureBoot::Verdict::DkmsKeyNotEnrolled:
        return i18n("The kernel will not load %1 after the reboot: Secure Boot is on and the module is signed by DKMS's key, which is not enrolled.", name)
            + QLatin1Char('\n') + i18n("Enroll the key, then reboot and confirm the enrollment when the MOK manager asks for it:") + QLatin1String("\n    ")
            + SecureBoot::enrollCommand();
    case SecureBoot::Verdict::KeyNotEnrolled:
        return i18n("The kernel will not load %1 after the reboot: Secure Boot is on and the module is signed by %2 (key %3), a key that is not enrolled.",
                    name,
                    check.signature.signer,
                    check.signature.sigKey());
    default:
        break;
    }
    return i18n("The kernel will not load %1 after the reboot: Secure Boot is on and the module is not signed.", name);
}
}
