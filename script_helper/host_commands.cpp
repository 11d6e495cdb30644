// The text commands a script sends to its host, and the diagnostics.
// Every command text is built here, so the wire format has one owner.
#include <string>

#include "command_text.h"
#include "diagnostics.h"
#include "vesk_script_helper.h"

namespace {

const std::size_t longestIwText = 256;

}  // namespace

char* vesk_script_helper::sendCommand(const char* text) {
    if (host == nullptr || text == nullptr) return nullptr;
    // The host reads the command during the call only and never writes it.
    return host->notify(const_cast<char*>(text), VESK_NOTIFY_COMMAND);
}

void vesk_script_helper::releaseReply(char* reply) {
    if (host != nullptr && reply != nullptr) host->notify(reply, VESK_NOTIFY_RELEASE);
}

// The reply of a command that reads none is the host's business: it is
// neither read nor handed back.
void vesk_script_helper::sendIgnoringReply(const char* text) { (void)sendCommand(text); }

// "IR 1 2 3", "GU 7", "ET 1 500" and the like. Numbers of any size fit.
void vesk_script_helper::sendNumeric(const char* word, const int* numbers, int count, bool add) {
    const TextPiece suffix = add ? TextPiece(" 'ADD'") : TextPiece("");
    if (count == 1) {
        sendIgnoringReply(CommandText(word, " ", numbers[0]).c_str());
    } else if (count == 2) {
        sendIgnoringReply(CommandText(word, " ", numbers[0], " ", numbers[1]).c_str());
    } else {
        sendIgnoringReply(
            CommandText(word, " ", numbers[0], " ", numbers[1], " ", numbers[2], suffix).c_str());
    }
}

bool vesk_script_helper::panelShow(const vesk_string& panel, const vesk_string& file,
                                   const vesk_string& extra) {
    // The "/" always stands between a non-empty folder and the file, whatever
    // the folder ends with; a non-empty extra is a third quoted argument.
    const bool inFolder = !panelPath.isEmpty();
    const bool withExtra = !extra.isEmpty();
    const CommandText text("PS '", panel, "' '", inFolder ? TextPiece(panelPath) : TextPiece(""),
                           inFolder ? TextPiece("/") : TextPiece(""), file, "'",
                           withExtra ? TextPiece(" '") : TextPiece(""), extra,
                           withExtra ? TextPiece("'") : TextPiece(""));
    if (host == nullptr) return true;
    // Success is only whether the host answered; the reply is not handed back.
    return sendCommand(text.c_str()) != nullptr;
}

void vesk_script_helper::textPut(const vesk_string& property, const vesk_string& value,
                                 const vesk_string& panel, const vesk_string& control) {
    putText(property, value, panel, control);
}

void vesk_script_helper::putText(TextPiece property, TextPiece value, TextPiece panel,
                                 TextPiece control) {
    sendIgnoringReply(
        CommandText("TP '", property, "=", value, "' '", panel, "' '", control, "'").c_str());
}

void vesk_script_helper::textPut(const vesk_string& assignment, const vesk_string& panel,
                                 const vesk_string& control) {
    sendIgnoringReply(CommandText("TP '", assignment, "' '", panel, "' '", control, "'").c_str());
}

void vesk_script_helper::textGet(const vesk_string& property, const vesk_string& panel,
                                 const vesk_string& control, vesk_string& value) {
    const CommandText text("TG '", panel, "' '", control, "' '", property, "'");
    char* reply = sendCommand(text.c_str());
    if (reply == nullptr) {
        value = "";
        return;
    }
    const vesk_string whole(reply);
    releaseReply(reply);
    if (property == "all") {
        value = whole;
        return;
    }
    vesk_string left;
    vesk_string right;
    whole.split('=', left, right);
    if (left == property) {
        value = right;
        return;
    }
    debugFormat(
        "textGet: value returned \"%1\" was not the value requested \"%2\" "
        "(value returned was \"%3\" from control \"%4\", on panel \"%5\")",
        left, property, whole, control, panel);
    value = "";
}

vesk_stringlist vesk_script_helper::controlList(const vesk_string& panel,
                                                const vesk_string& filter) {
    const CommandText text("XI '", panel, "' '", filter, "'");
    char* reply = sendCommand(text.c_str());
    if (reply == nullptr) return vesk_stringlist();
    const vesk_string whole(reply);
    releaseReply(reply);
    return vesk_stringlist(whole.c_str(), ',');
}

bool vesk_script_helper::instanceLookup(vesk_string instance, int* device, int* offset) {
    if (device != nullptr) *device = 0;
    if (offset != nullptr) *offset = 0;
    const CommandText text("SD '", instance, "'");
    char* reply = sendCommand(text.c_str());
    if (reply == nullptr) return false;
    {
        const decodeVESKString tokens(reply, '\'');
        // Numbers read like atoi, clamped to the 32-bit range.
        if (device != nullptr) *device = vesk_string(tokens.tokens[0]).toInt();
        if (offset != nullptr) *offset = vesk_string(tokens.tokens[1]).toInt();
    }
    releaseReply(reply);
    return true;
}

void vesk_script_helper::infoRegister(int device, int firstSlot, int lastSlot, bool add) {
    const int numbers[] = {device, firstSlot, lastSlot};
    sendNumeric("IR", numbers, 3, add);
}

void vesk_script_helper::infoPoll(int device, int firstSlot, int lastSlot) {
    const int numbers[] = {device, firstSlot, lastSlot};
    sendNumeric("IP", numbers, 3, false);
}

void vesk_script_helper::infoUnregister(int device) { sendNumeric("IU", &device, 1, false); }

void vesk_script_helper::infoWrite(int device, const vesk_string& text, int slot, bool flag) {
    writeInfo(device, text, slot, flag);
}

void vesk_script_helper::writeInfo(int device, TextPiece text, int slot, bool flag) {
    if (text.length > longestIwText) {
        debugPrint("The IW string is too long (max 256 chars)\n");
    }
    sendIgnoringReply(
        CommandText("IW ", device, " '", text, "' ", slot, flag ? TextPiece(" 1") : TextPiece(" 0"))
            .c_str());
}

void vesk_script_helper::gpiRegister(int device, int firstSlot, int lastSlot, bool add) {
    const int numbers[] = {device, firstSlot, lastSlot};
    sendNumeric("GR", numbers, 3, add);
}

void vesk_script_helper::gpiPoll(int device, int firstSlot, int lastSlot) {
    const int numbers[] = {device, firstSlot, lastSlot};
    sendNumeric("GP", numbers, 3, false);
}

void vesk_script_helper::gpiUnregister(int device) { sendNumeric("GU", &device, 1, false); }

void vesk_script_helper::timerStart(int timerId, int interval) {
    // An interval of 0 is the stop command.
    const int numbers[] = {timerId, interval};
    sendNumeric("ET", numbers, interval == 0 ? 1 : 2, false);
}

void vesk_script_helper::timerStop(int timerId) { sendNumeric("ET", &timerId, 1, false); }

void vesk_script_helper::debugPrint(const vesk_string& text) {
    vesk_debugOutput(text.c_str(), static_cast<std::size_t>(text.length()));
}

// Fills the placeholders as nine chained arg() calls would (the lowest
// number still present takes the next argument), but in one pass, so that
// a "%" inside an argument, such as a host reply, is never filled in turn.
void vesk_script_helper::debugFormat(const vesk_string& format, const vesk_string& a1,
                                     const vesk_string& a2, const vesk_string& a3,
                                     const vesk_string& a4, const vesk_string& a5,
                                     const vesk_string& a6, const vesk_string& a7,
                                     const vesk_string& a8, const vesk_string& a9) {
    const vesk_string* args[] = {&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8, &a9};
    const char* text = format.c_str();
    const std::size_t length = static_cast<std::size_t>(format.length());

    bool present[10] = {};
    for (std::size_t i = 0; i + 1 < length; ++i) {
        if (text[i] == '%' && text[i + 1] >= '1' && text[i + 1] <= '9') present[text[i + 1] - '0'] = true;
    }
    const vesk_string* argumentFor[10] = {};
    int next = 0;
    for (int number = 1; number <= 9; ++number) {
        if (present[number]) argumentFor[number] = args[next++];
    }

    std::string result;
    result.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] == '%' && i + 1 < length && text[i + 1] >= '1' && text[i + 1] <= '9') {
            result += argumentFor[text[i + 1] - '0']->c_str();
            ++i;
        } else {
            result += text[i];
        }
    }
    vesk_debugOutput(result.c_str(), result.size());
}
