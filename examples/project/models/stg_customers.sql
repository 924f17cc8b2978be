---
materialization: view
tags: [staging, customers]
description: "Customers as they arrive from the shop database"
---
select id as customer_id, lower(email) as email, created_at
from source('shop', 'customers')
where created_at >= '{{ start_date }}'
