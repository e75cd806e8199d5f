#include "window/SetupPrompt.h"

namespace corvane {

QString SetupPrompt::text(const QString& website, const QString& dashboard) {
    return QStringLiteral(
               "Please set up Velto (%1) so that I can control this Mac from my phone and you "
               "can operate it for me.\n\n"
               "Velto is a menu-bar app on my Mac with web controls at %2. With it I can, for "
               "example, mute or lock the Mac, change the volume, check battery, storage and "
               "memory, control playback, and open or close apps. These are only examples; the "
               "web app shows everything else it can do.\n\n"
               "The app is already downloaded and open on my Mac. Do everything you can "
               "yourself and only ask me for the steps that need me.\n\n"
               "1. Open %2 and sign in with my Velto name and password. Let me enter them "
               "myself in the sign-in page or take over the sign-in screen; never ask for my "
               "password in chat.\n"
               "2. Tell me to click Connect in the Velto app on my Mac and sign in with the same "
               "account. Skip this if the Mac is already connected.\n"
               "3. Complete the web setup. Poll the device list for up to two minutes until the "
               "Mac shows as Online, without asking me to tell you when it is. If it stays "
               "offline, inspect what is wrong and explain it. Ask me for a pairing code only if "
               "automatic linking fails.\n"
               "4. Check my Mac's battery and report the actual result. Do not claim success "
               "before you get a successful response.\n"
               "5. For later requests, use the web controls and tell me what happened, following "
               "any confirmations and permissions they ask for.\n\n"
               "If the sign-in asks for anything beyond my name and password, I will complete "
               "it myself. Never read my e-mail to get around it.\n\n"
               "This setup uses Velto's website; it does not add Velto as a native Lumo "
               "connection.")
        .arg(website, dashboard);
}

} // namespace corvane
