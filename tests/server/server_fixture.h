#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "extension/zefa.h"
#include "lib/case.h"

namespace zefa::test {

// A fixed date and time with the machine's own tick counter and sleep.
class FixedClock final : public host::Clock {
  public:
    host::DateTime now{2006, 1, 5, 12, 30, 45};
    host::DateTime Now() const override { return now; }
    std::uint64_t TickCountMs() const override { return real_->TickCountMs(); }
    void SleepMs(std::uint32_t ms) const override { real_->SleepMs(ms); }

  private:
    std::shared_ptr<host::Clock> real_ = host::DefaultClock();
};

// A temporary folder, removed with everything in it.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    const std::filesystem::path& Path() const { return path_; }
    std::string Str() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

void WriteFile(const std::filesystem::path& path, const std::string& text);
std::string ReadFile(const std::filesystem::path& path);
// Waits (bounded) until the process has ended; true when it has.
bool WaitGone(int pid, int ms = 5000);

// A pipeline unit in a reference-host case whose case, model and extension
// folders are temporary. The extension is created; tests initialise it.
class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    std::int32_t Initialize(bool recalled);
    // Adds the position texts, which the host keeps outside the bound variables.
    void UsePositionVariables();
    // A new case connected (without auto-start) to 127.0.0.1:port.
    void ConnectNewCase(int port);

    std::vector<std::string> Shown(const std::string& kind) const;  // "title|text"
    // Message-window lines after the new-case recommendation.
    std::vector<std::string> Reports() const;

    template <class T>
    std::shared_ptr<T> Var(const std::string& tag) {
        return unit->Get<T>(tag);
    }
    void SetText(const std::string& tag, const std::string& v) {
        Var<host::TextVariable>(tag)->SetValue(v);
    }
    void SetNumber(const std::string& tag, double v) {
        Var<host::NumberVariable>(tag)->SetValue(v);
    }
    std::string GetText(const std::string& tag) { return Var<host::TextVariable>(tag)->GetValue(); }
    double GetNumber(const std::string& tag) { return Var<host::NumberVariable>(tag)->GetValue(); }
    std::vector<double> Numbers(const std::string& tag) {
        return Var<host::NumberArrayVariable>(tag)->GetValues().data;
    }
    std::vector<std::string> Texts(const std::string& tag) {
        return Var<host::TextArrayVariable>(tag)->GetValues();
    }
    void SetNumbers(const std::string& tag, const std::vector<double>& values) {
        Var<host::NumberArrayVariable>(tag)->SetValues(host::NumberArray::OneD(values));
    }
    void SetTexts(const std::string& tag, const std::vector<std::string>& values) {
        Var<host::TextArrayVariable>(tag)->SetValues(values);
    }

    std::unique_ptr<TempFolder> case_dir, model_dir, ext_dir;
    std::shared_ptr<FixedClock> clock = std::make_shared<FixedClock>();
    std::shared_ptr<refhost::RefCase> host_case;
    std::shared_ptr<refhost::MessageWindow> window;
    std::shared_ptr<refhost::ScriptedUserInterface> ui;
    std::shared_ptr<refhost::PipelineUnit> unit;
    std::unique_ptr<ZEFA> zefa;
    bool initialized = false;
    bool terminated = false;
};

}  // namespace zefa::test
