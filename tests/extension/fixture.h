#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "extension/zefa.h"
#include "lib/case.h"

namespace zefa::test {

// A stream that only has a name: enough for the connection lists.
class NamedStream final : public host::MaterialStream {
  public:
    explicit NamedStream(std::string name) : name_(std::move(name)) {}
    std::string Name() const override { return name_; }
    std::string TaggedName() const override { return name_; }
    std::shared_ptr<host::RealValue> Pressure() override { return nullptr; }
    std::shared_ptr<host::RealValue> Temperature() override { return nullptr; }
    std::shared_ptr<host::RealValue> MassFlow() override { return nullptr; }
    std::shared_ptr<host::RealValue> MolarFlow() override { return nullptr; }
    double MonikerValue(const std::string&) const override { return 0; }
    std::shared_ptr<host::Fluid> DuplicateFluid() const override { return nullptr; }

  private:
    std::string name_;
};

// A pipeline unit in a fresh reference-host case, with its extension bound.
class ExtensionTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Message boxes shown so far, as "title|text".
    std::vector<std::string> Boxes() const;
    std::vector<std::string> StreamNames(const std::string& tag);
    template <class T>
    std::shared_ptr<T> Var(const std::string& tag) {
        return unit->Get<T>(tag);
    }
    void SetText(const std::string& tag, const std::string& value) {
        Var<host::TextVariable>(tag)->SetValue(value);
    }
    void SetNumber(const std::string& tag, double value) {
        Var<host::NumberVariable>(tag)->SetValue(value);
    }

    std::shared_ptr<refhost::RefCase> host_case;
    std::shared_ptr<refhost::MessageWindow> window;
    std::shared_ptr<refhost::ScriptedUserInterface> ui;
    std::shared_ptr<refhost::PipelineUnit> unit;
    std::unique_ptr<ZEFA> zefa;
};

}  // namespace zefa::test
