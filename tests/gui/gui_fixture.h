// Test fixture of the window layer: a fresh application root as the process
// root, with the window's wait hooks installed as the program does it.
#pragma once

#include "loaderapp.h"
#include "loaderwin.h"

#include "dbterm.h"
#include "root.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QString>
#include <QStringList>

class RootTest : public ::testing::Test {
  protected:
    void SetUp() override {
        p_root = Root_alloc();
        ASSERT_NE(p_root, nullptr);
        set_p_root(p_root);
        lw_install_wait_hooks(p_root, loader_pump_events, nullptr);
    }
    void TearDown() override {
        QApplication::processEvents();
        lw_install_wait_hooks(p_root, nullptr, nullptr);
        Root_free(p_root);
        p_root = nullptr;
    }
    // The terminal's rows, oldest first.
    QStringList term_rows() const {
        DbTerm* p = Root_get_p_db_term(p_root);
        DbTerm_to_string(p, -1);
        return QString::fromLocal8Bit(DbTerm_get_p_str(p)).split('\n');
    }

    Root* p_root = nullptr;
};
