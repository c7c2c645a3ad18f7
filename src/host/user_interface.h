#pragma once

// The user interface the host provides for the extension's message boxes,
// questions and file and folder dialogs.

#include <memory>
#include <optional>
#include <string>

namespace host {

// Everything the extension shows to or asks of the user. The host provides it;
// the reference host answers on the console or from a script.
class UserInterface {
  public:
    virtual ~UserInterface() = default;

    // Message box with an OK button. `system_modal` mirrors the desktop flag.
    virtual void MessageBox(const std::string& text, const std::string& title,
                            bool system_modal) = 0;
    // Yes/No question; true means Yes.
    virtual bool AskYesNo(const std::string& text, const std::string& title) = 0;
    // File-open dialog: initial folder, filter (e.g. "*.inp"), title. Empty optional
    // when the user cancels.
    virtual std::optional<std::string> OpenFile(const std::string& initial_folder,
                                                const std::string& filter,
                                                const std::string& title) = 0;
    // Folder browser; empty optional on cancel.
    virtual std::optional<std::string> BrowseFolder(const std::string& initial_folder,
                                                    const std::string& title) = 0;
    // Let the host process its pending window events.
    virtual void ProcessPendingEvents() = 0;
};

// A user interface that answers every question with its default (OK, No, cancel)
// and does nothing else; used where no host UI is available, and as a base for
// interfaces that only watch one call.
class NullUserInterface : public UserInterface {
  public:
    void MessageBox(const std::string&, const std::string&, bool) override {}
    bool AskYesNo(const std::string&, const std::string&) override { return false; }
    std::optional<std::string> OpenFile(const std::string&, const std::string&,
                                        const std::string&) override {
        return std::nullopt;
    }
    std::optional<std::string> BrowseFolder(const std::string&, const std::string&) override {
        return std::nullopt;
    }
    void ProcessPendingEvents() override {}
};

}  // namespace host
