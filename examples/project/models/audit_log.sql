select '{{ schema }}' as schema_name, now() as audited_at
