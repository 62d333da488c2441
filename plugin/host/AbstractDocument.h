#pragma once

// A sales document of the host; the plug-in only passes it on.
class AbstractDocument
{
public:
    virtual ~AbstractDocument() = default;
};
