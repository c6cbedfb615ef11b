#pragma once

#include <QWidget>

// The About window: who made the program and how to reach them. It is a
// window of its own, without an owner, centred on the screen when created, and
// it deletes itself when closed.
class Form2 final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Form2)

public:
    explicit Form2(QWidget *parent = nullptr);
    ~Form2() override;

private:
    void Command1_Click();
};
