// Rule documents shaped like the service's three rule sets, filled as the rule converter fills them.
#pragma once

namespace srtctest {

inline constexpr const char16_t* AUTHORIZATION_DOCUMENT =
    uR"(<?xml version="1.0" encoding="UTF-16"?>
<ruleModule xmlns="urn:quillon:gatewarden:rules:1" ruleSet="authorization" defaultEffect="deny">
  <definitions>
    <setLiteralDef setLiteralId="authorized-devices"><exactStr>USB\VID_0781&amp;PID_5567</exactStr></setLiteralDef>
    <setLiteralDef setLiteralId="authorized-locations"><exactStr>?</exactStr></setLiteralDef>
    <setLiteralDef setLiteralId="authorized-folders"><prefixStr>C:\Program Files\Vendor\</prefixStr><prefixStr>D:\Tools\</prefixStr></setLiteralDef>
    <setLiteralDef setLiteralId="authorized-user-contexts"><exactStr>S-1-5-21-1000</exactStr></setLiteralDef>
    <exprDef exprId="is-authorized-hash"><expr>
      <funEval funRef="equals"><attr opRef="actor" attrRef="md5-hash"/><str>?</str></funEval>
      <or>
        <and>
          <funEval funRef="equals"><attr opRef="actor" attrRef="md5-hash"/><str>0123456789abcdef0123456789abcdef</str></funEval>
          <funEval funRef="equals"><attr opRef="actor" attrRef="path"/><str>C:\Setup\install.exe</str></funEval>
        </and>
      </or>
    </expr></exprDef>
    <exprDef exprId="is-authorized-anonymous-hash"><expr>
      <and>
        <funEval funRef="equals"><attr opRef="actor" attrRef="sha1-hash"/><str>da39a3ee5e6b4b0d3255bfef95601890afd80709</str></funEval>
        <funEval funRef="equals"><attr opRef="actor" attrRef="file-length"/><int32>4096</int32></funEval>
      </and>
    </expr></exprDef>
  </definitions>
  <rules>
    <rule ruleId="authorized-device" effect="allow"><funEval funRef="in-set"><attr opRef="actor" attrRef="device"/><setRef setLiteralId="authorized-devices"/></funEval></rule>
    <rule ruleId="authorized-location" effect="allow"><funEval funRef="in-set"><attr opRef="actor" attrRef="location"/><setRef setLiteralId="authorized-locations"/></funEval></rule>
    <rule ruleId="authorized-folder" effect="allow"><funEval funRef="in-set"><attr opRef="actor" attrRef="path"/><setRef setLiteralId="authorized-folders"/></funEval></rule>
    <rule ruleId="authorized-user-context" effect="allow"><funEval funRef="in-set"><attr opRef="actor" attrRef="sid"/><setRef setLiteralId="authorized-user-contexts"/></funEval></rule>
    <rule ruleId="authorized-hash" effect="allow"><or><exprRef exprId="is-authorized-hash"/><exprRef exprId="is-authorized-anonymous-hash"/></or></rule>
  </rules>
</ruleModule>
)";

inline constexpr const char16_t* EXCLUSION_DOCUMENT =
    uR"(<ruleModule xmlns="urn:quillon:gatewarden:rules:1" ruleSet="exclusion" defaultEffect="deny">
  <definitions>
    <exprDef exprId="is-excluded"><expr>
      <or>
        <and>
          <funEval funRef="equals"><attr opRef="actor" attrRef="path"/><str>C:\Backup\agent.exe</str></funEval>
          <funEval funRef="binary-and"><attr opRef="action" attrRef="desired-access"/><hex32>0x00000001</hex32></funEval>
        </and>
        <and>
          <funEval funRef="equals"><attr opRef="target" attrRef="path"/><str>C:\Data\shared.db</str></funEval>
          <funEval funRef="equals"><attr opRef="actor" attrRef="sid"/><str>S-1-5-18</str></funEval>
          <funEval funRef="binary-and"><attr opRef="action" attrRef="desired-access"/><hex32>0x00010006</hex32></funEval>
        </and>
      </or>
    </expr></exprDef>
  </definitions>
  <rules>
    <rule ruleId="excluded" effect="allow"><exprRef exprId="is-excluded"/></rule>
  </rules>
</ruleModule>
)";

inline constexpr const char16_t* PROTECTED_RESOURCES_DOCUMENT =
    uR"(<ruleModule xmlns="urn:quillon:gatewarden:rules:1" ruleSet="protected-resources" defaultEffect="allow">
  <definitions>
    <setLiteralDef setLiteralId="authorized-user-contexts"><exactStr>S-1-5-21-500</exactStr></setLiteralDef>
    <setLiteralDef setLiteralId="protected-files"><prefixStr>C:\Protected\</prefixStr><exactStr>C:\Data\secret.txt</exactStr></setLiteralDef>
    <setLiteralDef setLiteralId="protected-regkeys"><prefixStr>HKLM\Software\Quillon\</prefixStr></setLiteralDef>
    <setLiteralDef setLiteralId="protected-processes"><exactStr>C:\Program Files\Quillon\krellsvc.exe</exactStr></setLiteralDef>
    <setLiteralDef setLiteralId="excluded-folders"><prefixStr>C:\Protected\Public\</prefixStr></setLiteralDef>
    <setLiteralDef setLiteralId="excluded-regkeys"><prefixStr>HKLM\Software\Quillon\Open\</prefixStr></setLiteralDef>
    <singleLiteralDef literalId="is-file-protection-enabled"><bool>true</bool></singleLiteralDef>
    <singleLiteralDef literalId="is-registry-protection-enabled"><bool>true</bool></singleLiteralDef>
    <singleLiteralDef literalId="is-process-protection-enabled"><bool>false</bool></singleLiteralDef>
    <singleLiteralDef literalId="disabled-protection-expires-time"><date>2024-01-31T08:05:09Z</date></singleLiteralDef>
  </definitions>
  <rules>
    <rule ruleId="protection-temporarily-disabled" effect="allow"><funEval funRef="before"><attr opRef="env" attrRef="time"/><literalRef literalId="disabled-protection-expires-time"/></funEval></rule>
    <rule ruleId="authorized-user-context" effect="allow"><funEval funRef="in-set"><attr opRef="actor" attrRef="sid"/><setRef setLiteralId="authorized-user-contexts"/></funEval></rule>
    <rule ruleId="deny-protected-file" effect="deny"><and>
      <literalRef literalId="is-file-protection-enabled"/>
      <funEval funRef="equals"><attr opRef="target" attrRef="kind"/><str>file</str></funEval>
      <funEval funRef="in-set"><attr opRef="target" attrRef="path"/><setRef setLiteralId="protected-files"/></funEval>
      <not><funEval funRef="in-set"><attr opRef="target" attrRef="path"/><setRef setLiteralId="excluded-folders"/></funEval></not>
    </and></rule>
    <rule ruleId="deny-protected-regkey" effect="deny"><and>
      <literalRef literalId="is-registry-protection-enabled"/>
      <funEval funRef="equals"><attr opRef="target" attrRef="kind"/><str>registry</str></funEval>
      <funEval funRef="in-set"><attr opRef="target" attrRef="path"/><setRef setLiteralId="protected-regkeys"/></funEval>
      <not><funEval funRef="in-set"><attr opRef="target" attrRef="path"/><setRef setLiteralId="excluded-regkeys"/></funEval></not>
    </and></rule>
    <rule ruleId="deny-protected-process" effect="deny"><and>
      <literalRef literalId="is-process-protection-enabled"/>
      <funEval funRef="equals"><attr opRef="target" attrRef="kind"/><str>process</str></funEval>
      <funEval funRef="in-set"><attr opRef="target" attrRef="path"/><setRef setLiteralId="protected-processes"/></funEval>
    </and></rule>
  </rules>
</ruleModule>
)";

}  // namespace srtctest
